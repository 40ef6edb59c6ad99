#include "core/lock/thread_reads.hpp"

#include <vector>

#include "core/lock/reading_threads.hpp"
#include "core/platform/thread.hpp"

namespace torvan::lock::thread_reads {

using detail::Entry;
using detail::t_record;

namespace {

thread_local std::vector<Entry> t_spill;

Entry* find(std::uint64_t lock_id) noexcept {
    Entry* entry = detail::find_inline(lock_id);
    return entry != nullptr ? entry : detail::find_spilled(lock_id);
}

void remove_spilled(Entry* entry) noexcept {
    *entry = t_spill.back();
    t_spill.pop_back();
    --t_record.spilled;
}

}  // namespace

Entry* detail::find_spilled(std::uint64_t lock_id) noexcept {
    if (t_record.spilled != 0) {
        for (Entry& entry : t_spill) {
            if (entry.lock_id == lock_id) {
                return &entry;
            }
        }
    }
    return nullptr;
}

void detail::note_acquired_new(std::uint64_t lock_id) {
    // Every thread's first read comes here: from then on, a read of its that
    // another thread releases is noted for it until it ends.
    reading_threads::enrol(platform::current_thread_id());
    if (Entry* entry = find_spilled(lock_id)) {
        ++entry->count;
    } else {
        Entry* free = nullptr;
        for (Entry& candidate : t_record.entries) {
            if (candidate.count == 0) {
                free = &candidate;
                break;
            }
        }
        if (free != nullptr) {
            *free = Entry{lock_id, 1};
        } else {
            t_spill.push_back(Entry{lock_id, 1});
            ++t_record.spilled;
        }
    }
    ++t_record.depth;
}

void detail::note_released_spilled(std::uint64_t lock_id) noexcept {
    if (Entry* entry = find_spilled(lock_id)) {
        if (--entry->count == 0) {
            remove_spilled(entry);
        }
    }
}

std::uint64_t held_on(std::uint64_t lock_id) noexcept {
    const Entry* entry = find(lock_id);
    return entry != nullptr ? entry->count : 0;
}

void forget(std::uint64_t lock_id, std::uint64_t reads) noexcept {
    Entry* entry = find(lock_id);
    if (entry == nullptr || reads == 0 || entry->count == 0) {
        return;
    }
    std::uint64_t forgotten = reads < entry->count ? reads : entry->count;
    t_record.depth = t_record.depth > forgotten ? t_record.depth - forgotten : 0;
    entry->count -= forgotten;
    if (entry->count == 0 && detail::find_inline(lock_id) == nullptr) {
        remove_spilled(entry);
    }
}

}  // namespace torvan::lock::thread_reads
