#include "core/map/read_section.hpp"

#include <new>
#include <utility>

#include "core/sync/spin_wait.hpp"

namespace torvan::map {

std::atomic<ReaderRecord*> detail::g_records{nullptr};

namespace {

using detail::g_records;

// The registry list: records are pushed with a release CAS and walked after
// an acquire load, so a record's fields are set up before anyone walks to it.
// A record's `claimed` hands it between threads: the acquire CAS pairs with
// the release store of the thread that gave it back; relaxed looks only skip.
ReaderRecord* reuse_or_make() noexcept {
    for (ReaderRecord* record = g_records.load(std::memory_order_acquire); record != nullptr;
         record = record->next) {
        bool free = false;
        if (!record->claimed.load(std::memory_order_relaxed) &&
            record->claimed.compare_exchange_strong(free, true, std::memory_order_acquire)) {
            return record;
        }
    }
    auto* record = new (std::nothrow) ReaderRecord();
    if (record == nullptr) {
        return nullptr;
    }
    record->next = g_records.load(std::memory_order_relaxed);  // the CAS below checks it
    while (!g_records.compare_exchange_weak(record->next, record, std::memory_order_release,
                                            std::memory_order_relaxed)) {
    }
    return record;
}

// Plain storage, valid until the thread's very end: set once the record has
// been handed back, so that reads during the thread's last destructors take
// the lock instead of claiming a record nobody would return.
thread_local bool t_closed __attribute__((tls_model("initial-exec"))) = false;

// Hands the thread's record back when the thread ends.
struct RecordReturn {
    bool armed = false;
    ~RecordReturn() {
        t_closed = true;
        if (ReaderRecord* record = std::exchange(detail::t_reader_record, nullptr)) {
            record->claimed.store(false, std::memory_order_release);
        }
    }
};
thread_local RecordReturn t_return;

}  // namespace

ReaderRecord* detail::claim_reader_record() noexcept {
    if (t_closed) {
        return nullptr;
    }
    t_return.armed = true;  // first use on this thread registers its destructor
    ReaderRecord* record = reuse_or_make();
    t_reader_record = record;
    return record;
}

void detail::wait_for_reader(const ReaderRecord& record, std::uint64_t seen) noexcept {
    sync::SpinWait wait;  // a read section is a few loads long
    // Acquire: pairs with ~ReadSection's release, so the reader's reads of the
    // table come before the writer's changes.
    while (record.sequence.load(std::memory_order_acquire) == seen) {
        wait.snooze();
    }
}

}  // namespace torvan::map
