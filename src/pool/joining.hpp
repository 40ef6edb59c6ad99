#pragma once
// Waiting for a pool's workers to end: in order on the calling thread, or on
// a joiner thread of its own.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "pool/worker.hpp"

namespace torvan::pool {

enum class JoinStop {
    AllJoined,
    Interrupted,           // an interruptible wait ended early: a signal may have arrived
    ReachedCurrentThread,  // the next handle is the calling thread's own
};

// Joins workers[next], workers[next + 1], ... in order, waiting detached (the
// caller is attached), and advances `next` past every worker joined. A
// worker's own failure is ignored.
JoinStop join_in_order(std::vector<Worker>& workers, std::size_t& next, bool interruptible);

// Starts a thread that joins the workers one after another and then ends;
// nobody keeps its handle. On failure returns the system error, and the
// workers are left to end on their own.
std::optional<std::string> start_joiner(std::vector<Worker> workers);

// Waits, detached, until every draining worker has ended, running signal
// handlers when a signal interrupts the wait; raises what a handler raises.
void wait_for_draining_workers_or_signal();

}  // namespace torvan::pool
