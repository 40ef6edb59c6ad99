#pragma once
// The threads that have read some lock and have not ended. A read released
// on another thread is noted for its owner, to be collected when the owner
// next asks; a thread that has ended never asks, so no note is kept for it,
// and the notes left for threads that ended since are dropped.

#include <cstdint>

namespace torvan::lock::reading_threads {

// Enrols the calling thread, once; it leaves the set when it ends. May fail
// to allocate, enrolling nothing.
void enrol(std::uint64_t thread);

// Whether `thread` has enrolled and not yet ended.
bool alive(std::uint64_t thread) noexcept;

}  // namespace torvan::lock::reading_threads
