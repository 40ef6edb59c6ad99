#include "core/lock/reading_threads.hpp"

#include <mutex>
#include <unordered_set>

namespace torvan::lock::reading_threads {

namespace {

struct Registry {
    std::mutex mutex;
    std::unordered_set<std::uint64_t> threads;
};

// Never destroyed: threads may still end, and releases run, while the
// process exits.
Registry& registry() noexcept {
    static Registry* const instance = new Registry;
    return *instance;
}

// Removes its thread from the set when the thread ends.
struct Enrolment {
    std::uint64_t thread = 0;
    ~Enrolment() {
        if (thread != 0) {
            Registry& shared = registry();
            std::lock_guard<std::mutex> guard(shared.mutex);
            shared.threads.erase(thread);
        }
    }
};

thread_local Enrolment t_enrolment;

}  // namespace

void enrol(std::uint64_t thread) {
    if (t_enrolment.thread != 0) {
        return;
    }
    Registry& shared = registry();
    {
        std::lock_guard<std::mutex> guard(shared.mutex);
        shared.threads.insert(thread);
    }
    t_enrolment.thread = thread;
}

bool alive(std::uint64_t thread) noexcept {
    Registry& shared = registry();
    std::lock_guard<std::mutex> guard(shared.mutex);
    return shared.threads.contains(thread);
}

}  // namespace torvan::lock::reading_threads
