#pragma once
// What the calling thread holds through its entered read guards: the read
// depth (reads held over all locks together), which decides whether a new
// read may pass a waiting writer, and the reads held per lock, which tell a
// thread that would wait for itself.

#include <cstdint>

namespace torvan::lock::thread_reads {

// Reads this thread holds, over all locks.
std::uint64_t depth() noexcept;

// Records one more read of the lock; may fail to allocate, recording nothing.
void note_acquired(std::uint64_t lock_id);
// Records one read less (never below zero).
void note_released(std::uint64_t lock_id) noexcept;

// Reads of this lock this thread holds, as far as it knows.
std::uint64_t held_on(std::uint64_t lock_id) noexcept;
// Forgets up to `reads` recorded reads of the lock (another thread released
// them) and lowers the depth to match.
void forget(std::uint64_t lock_id, std::uint64_t reads) noexcept;

}  // namespace torvan::lock::thread_reads
