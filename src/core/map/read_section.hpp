#pragma once
// Reads of a shard's table without its lock, and without writing any line
// another thread writes.
//
// A reader announces itself in a record of its own thread (one cache line,
// written only by that thread): its sequence is odd while it is inside a read
// section. Inside, after checking that the shard's lock is free, it may walk
// the table, read the stored keys and take references to stored values.
//
// A writer holds the shard lock and, before changing the table or letting go
// of anything the table points to, waits until every reader that was inside
// a section has left it. Both sides write their own word before reading the
// other's, sequentially consistent, so at least one of them sees the other:
// either the writer sees the reader inside and waits for it, or the reader
// sees the lock taken and does not read the table. A reader therefore never
// follows memory a writer frees and never takes a reference to an object the
// map has let go of.
//
// Readers never wait inside a section, so a writer's wait is bounded by the
// few instructions a reader has left. os.fork stops every other thread at a
// point where no thread is inside a section, so a child never waits for a
// thread it does not have.

#include <atomic>
#include <cstdint>

#include "core/sync/cache_line.hpp"

namespace torvan::map {

// A thread's announcement, on a line of its own. Records are never freed: a
// thread that ends hands its record to the next thread that reads.
struct alignas(sync::kCacheLine) ReaderRecord {
    std::atomic<std::uint64_t> sequence{0};  // odd: inside a section
    std::atomic<bool> claimed{true};
    ReaderRecord* next = nullptr;  // the registry's list, fixed once published
};

namespace detail {
// Every record ever made, newest first; only ever grows.
extern std::atomic<ReaderRecord*> g_records;
// Waits until the reader of `record`, seen inside the section numbered `seen`, has left it.
void wait_for_reader(const ReaderRecord& record, std::uint64_t seen) noexcept;
inline thread_local ReaderRecord* t_reader_record __attribute__((tls_model("initial-exec"))) = nullptr;
// The calling thread's record, claimed on its first read; null once the
// thread is ending or when no record could be allocated.
ReaderRecord* claim_reader_record() noexcept;
}  // namespace detail

class ReadSection {
public:
    // Enters a section on the calling thread. Sections do not nest.
    ReadSection() noexcept {
        ReaderRecord* record = detail::t_reader_record;
        if (record == nullptr && (record = detail::claim_reader_record()) == nullptr) [[unlikely]] {
            return;
        }
        // Relaxed: only this thread writes its record.
        sequence_ = record->sequence.load(std::memory_order_relaxed) + 1;
        record->sequence.store(sequence_, std::memory_order_seq_cst);
        record_ = record;
    }
    ~ReadSection() {
        if (record_ != nullptr) {
            // Release: pairs with wait_for_readers' acquire load.
            record_->sequence.store(sequence_ + 1, std::memory_order_release);
        }
    }
    ReadSection(const ReadSection&) = delete;
    ReadSection& operator=(const ReadSection&) = delete;

    // False when the thread has no record (it is ending, or none could be
    // allocated): the caller reads under the lock instead.
    bool entered() const noexcept { return record_ != nullptr; }

private:
    ReaderRecord* record_ = nullptr;
    std::uint64_t sequence_ = 0;  // the odd value this section published
};

// For a writer that has just taken a shard lock (with sequentially
// consistent ordering): returns once every reader that may have seen the
// lock free has left its section. Inline: a writer usually finds every
// reader outside, a look at one line per thread.
inline void wait_for_readers() noexcept {
    for (ReaderRecord* record = detail::g_records.load(std::memory_order_acquire); record != nullptr;
         record = record->next) {
        std::uint64_t seen = record->sequence.load(std::memory_order_seq_cst);
        if ((seen & 1) != 0) [[unlikely]] {
            detail::wait_for_reader(*record, seen);
        }
    }
}

}  // namespace torvan::map
