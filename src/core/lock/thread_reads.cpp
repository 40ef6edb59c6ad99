#include "core/lock/thread_reads.hpp"

#include <cstddef>
#include <vector>

namespace torvan::lock::thread_reads {

namespace {

struct Entry {
    std::uint64_t lock_id;
    std::uint64_t count;
};

// A thread rarely reads more than a few locks at once: those entries live in
// plain initial-exec thread-local storage, reached without a call; the rest
// spill into a vector.
constexpr std::size_t kInlineEntries = 4;

struct Record {
    std::uint64_t depth;
    std::size_t used;
    std::size_t spilled;  // entries in t_spill, so that it is touched only when used
    Entry entries[kInlineEntries];
};

thread_local Record t_record __attribute__((tls_model("initial-exec"))) = {};
thread_local std::vector<Entry> t_spill;

Entry* find(std::uint64_t lock_id) noexcept {
    Record& record = t_record;
    for (std::size_t i = 0; i < record.used; ++i) {
        if (record.entries[i].lock_id == lock_id) {
            return &record.entries[i];
        }
    }
    if (record.spilled != 0) {
        for (Entry& entry : t_spill) {
            if (entry.lock_id == lock_id) {
                return &entry;
            }
        }
    }
    return nullptr;
}

void remove(Entry* entry) noexcept {
    Record& record = t_record;
    if (entry >= record.entries && entry < record.entries + record.used) {
        *entry = record.entries[--record.used];
    } else {
        *entry = t_spill.back();
        t_spill.pop_back();
        --record.spilled;
    }
}

}  // namespace

std::uint64_t depth() noexcept { return t_record.depth; }

void note_acquired(std::uint64_t lock_id) {
    Record& record = t_record;
    if (Entry* entry = find(lock_id)) {
        ++entry->count;
    } else if (record.used < kInlineEntries) {
        record.entries[record.used++] = Entry{lock_id, 1};
    } else {
        t_spill.push_back(Entry{lock_id, 1});
        ++record.spilled;
    }
    ++record.depth;
}

void note_released(std::uint64_t lock_id) noexcept {
    Record& record = t_record;
    if (record.depth != 0) {
        --record.depth;
    }
    if (Entry* entry = find(lock_id)) {
        if (--entry->count == 0) {
            remove(entry);
        }
    }
}

std::uint64_t held_on(std::uint64_t lock_id) noexcept {
    const Entry* entry = find(lock_id);
    return entry != nullptr ? entry->count : 0;
}

void forget(std::uint64_t lock_id, std::uint64_t reads) noexcept {
    Entry* entry = find(lock_id);
    if (entry == nullptr || reads == 0) {
        return;
    }
    std::uint64_t forgotten = reads < entry->count ? reads : entry->count;
    Record& record = t_record;
    record.depth = record.depth > forgotten ? record.depth - forgotten : 0;
    entry->count -= forgotten;
    if (entry->count == 0) {
        remove(entry);
    }
}

}  // namespace torvan::lock::thread_reads
