#include "binding/thread_end.hpp"

#include <cstddef>
#include <utility>

#include "binding/owned_ref.hpp"

namespace torvan::binding {

namespace {

// Few classes keep anything per thread; a slot beyond these is never released,
// which only costs its object's memory.
constexpr std::size_t kMostSlots = 8;

struct ThreadEndReleases {
    PyObject** slots[kMostSlots] = {};
    std::size_t count = 0;
    ~ThreadEndReleases() {
        for (std::size_t i = 0; i < count; ++i) {
            release_reference(std::exchange(*slots[i], nullptr));
        }
    }
};
thread_local ThreadEndReleases t_releases;

}  // namespace

void release_at_thread_end(PyObject** slot) noexcept {
    ThreadEndReleases& releases = t_releases;  // the first use registers the thread's releases
    if (releases.count < kMostSlots) {
        releases.slots[releases.count++] = slot;
    }
}

}  // namespace torvan::binding
