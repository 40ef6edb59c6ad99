#pragma once
// Pool workers: operating-system threads that take tasks from the pool's
// queue, attach to the interpreter while they have tasks at hand (never
// while they wait for one) and complete each task's future; and the handles
// through which they are waited for.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/engine/engine.hpp"
#include "core/platform/thread.hpp"
#include "pool/task.hpp"

namespace torvan::pool {

// Flags shared between a pool and its workers.
struct PoolFlags {
    std::atomic<bool> running{true};            // read by submit; workers never read it
    std::atomic<bool> cancel_requested{false};  // read by each worker once per task
};

inline constexpr std::size_t kPoolThreadStackSize = 2 * 1024 * 1024;

namespace detail {
// How far a worker's thread has got; the handle waits on this word.
struct WorkerEnd {
    static constexpr std::uint32_t kRunning = 0;
    static constexpr std::uint32_t kRunningDraining = 1;  // counted among the draining workers
    static constexpr std::uint32_t kEnded = 2;
    std::atomic<std::uint32_t> state{kRunning};
    std::atomic<bool> failed{false};
};
}  // namespace detail

// The owning handle of one worker thread.
class Worker {
public:
    // Starts a worker on a thread of its own (2 MiB stack, no name). Returns
    // nothing and describes the system error in `error` when the thread cannot
    // be created.
    static std::optional<Worker> start(engine::Receiver<Task> tasks, std::shared_ptr<const PoolFlags> flags,
                                       std::string& error);

    Worker(Worker&&) noexcept = default;
    Worker& operator=(Worker&&) noexcept = default;
    // A handle dropped without joining lets its thread run on.
    ~Worker();

    // True in a child process forked after the worker started: the thread
    // did not come along, so it counts as ended and is never joined.
    bool lost_in_fork() const noexcept;
    bool is_current() const noexcept { return !lost_in_fork() && thread_.is_current(); }
    // Counts the worker among the draining workers, whose end the exit hook
    // awaits: its queue is disconnected, so it ends once the queue is drained.
    void mark_draining() noexcept;
    // Sleeps until the thread has ended (the caller is detached). An
    // interruptible wait returns false when a signal may have arrived (after
    // 50 ms at the latest), so that the caller runs the handlers and goes on.
    bool wait_until_ended(bool interruptible) const noexcept;
    // True when the worker ended by a native failure (its attach failed).
    bool failed() const noexcept { return end_->failed.load(std::memory_order_acquire); }
    // Joins the thread; immediate once it has ended. Returns the system error
    // when it cannot be joined (the calling thread itself).
    std::optional<std::string> join() noexcept;

private:
    Worker(platform::NativeThread thread, std::shared_ptr<detail::WorkerEnd> end, std::uint64_t generation) noexcept
        : thread_(std::move(thread)), end_(std::move(end)), generation_(generation) {}

    platform::NativeThread thread_;
    std::shared_ptr<detail::WorkerEnd> end_;
    std::uint64_t generation_;  // the process generation the thread was started in
};

// Counts forks: bumped in each child process, which has none of the threads
// started before (only the thread that forked lives on).
std::uint64_t process_generation() noexcept;
// Called in the child right after a fork: forgets the workers that did not
// come along, so nothing waits for them.
void forget_workers_after_fork() noexcept;

// Sleeps (the caller is detached) until every worker counted as draining has
// ended. An interruptible wait returns false as Worker::wait_until_ended does.
bool wait_for_draining_workers(bool interruptible) noexcept;
// True while some worker counted as draining has not ended.
bool workers_draining() noexcept;

// True on a pool worker's thread.
bool on_pool_worker() noexcept;

// Interns the names the workers call on futures and contexts. Called once
// while the class is registered; raises a PyError on failure.
void init_worker_names();

}  // namespace torvan::pool
