#include "pool/joining.hpp"

#include <memory>
#include <utility>

#include "binding/py_error.hpp"
#include "binding/thread_state.hpp"

namespace torvan::pool {

JoinStop join_in_order(std::vector<Worker>& workers, std::size_t& next, bool interruptible) {
    binding::DetachedSection detached;
    for (; next < workers.size(); ++next) {
        Worker& worker = workers[next];
        if (worker.is_current()) {
            return JoinStop::ReachedCurrentThread;
        }
        if (!worker.wait_until_ended(interruptible)) {
            return JoinStop::Interrupted;
        }
        // It has ended, so this does not wait; its failure (if any) is ignored.
        (void)worker.join();
    }
    return JoinStop::AllJoined;
}

std::optional<std::string> start_joiner(std::vector<Worker> workers) {
    // std::function needs a copyable body; the handles travel in a shared vector.
    auto owned = std::make_shared<std::vector<Worker>>(std::move(workers));
    std::string error;
    auto thread = platform::NativeThread::spawn(
        [owned] {
            for (Worker& worker : *owned) {
                worker.wait_until_ended(false);
                (void)worker.join();
            }
            owned->clear();
        },
        kPoolThreadStackSize, error);
    if (!thread) {
        return error;
    }
    thread->detach();
    return std::nullopt;
}

void wait_for_draining_workers_or_signal() {
    for (;;) {
        // Before every wait, the first too: a signal that arrived just before
        // it does not interrupt it.
        if (PyErr_CheckSignals() < 0) {
            binding::raise_current();
        }
        binding::DetachedSection detached;
        if (wait_for_draining_workers(true)) {
            return;
        }
    }
}

}  // namespace torvan::pool
