#pragma once
// Memory for an unbounded channel's blocks, kept for reuse across channels
// and threads.
//
// A block is allocated by a sender and freed by a receiver, as a rule on
// another thread. The C library's allocator frees such a block under the
// lock of the arena it came from, the one the sender allocates from: sender
// and receiver take that lock for every block, and a sender preempted while
// holding it puts the receiver to sleep until the sender runs again, which
// took milliseconds when the scheduler left it queued behind another thread.
//
// Here each thread keeps up to two chains of kChainLength free blocks; a
// thread that frees more passes a full chain on to a shared depot, and a
// thread that runs out takes one from there. No lock anywhere: the depot is
// a few places for single pointers (sync::PointerPlaces). What neither holds
// goes back to the allocator, so the memory kept is bounded: two chains a
// thread, kDepotChains chains in all.

#include <cstddef>
#include <new>
#include <utility>

#include "core/sync/pointer_places.hpp"

namespace torvan::engine::detail {

template <std::size_t kSize>
class BlockCache {
    struct FreeBlock {
        FreeBlock* next;
    };
    static_assert(kSize >= sizeof(FreeBlock));

public:
    static constexpr std::size_t kChainLength = 32;
    static constexpr std::size_t kDepotChains = 16;

    // May throw std::bad_alloc.
    static void* allocate() {
        Local& local = t_local;
        if (local.current.count == 0) {
            if (local.full.count != 0) {
                local.current = std::exchange(local.full, Chain{});
            } else if (!keeps(local) || !take_from_depot(local.current)) {
                return ::operator new(kSize);
            }
        }
        FreeBlock* block = local.current.head;
        local.current.head = block->next;
        --local.current.count;
        return block;
    }

    static void release(void* memory) noexcept {
        Local& local = t_local;
        if (!keeps(local)) {
            ::operator delete(memory);
            return;
        }
        if (local.current.count == kChainLength) {
            if (local.full.count != 0) {
                give_to_depot(local.full.head);
            }
            local.full = std::exchange(local.current, Chain{});
        }
        local.current.head = ::new (memory) FreeBlock{local.current.head};
        ++local.current.count;
    }

private:
    struct Chain {
        FreeBlock* head = nullptr;
        std::size_t count = 0;
    };

    // Plain storage, reached without a call; valid until the thread's very
    // end, after the reaper below has run, too.
    struct Local {
        Chain current;  // blocks come from here, and go here
        Chain full;     // kChainLength blocks, or none
        bool armed;     // the reaper is registered
        bool closed;    // the thread is ending: keep nothing more
    };

    // Hands the thread's chains on when the thread ends.
    struct Reaper {
        bool armed = false;
        ~Reaper() {
            Local& local = t_local;
            local.closed = true;
            for (Chain* chain : {&local.current, &local.full}) {
                const Chain left = std::exchange(*chain, Chain{});
                if (left.count == kChainLength) {
                    give_to_depot(left.head);
                } else {
                    free_chain(left.head);
                }
            }
        }
    };

    // Whether the thread may keep blocks: not once it is ending. The first
    // time it keeps any, its reaper is registered.
    static bool keeps(Local& local) noexcept {
        if (!local.armed) {
            if (local.closed) {
                return false;
            }
            local.armed = true;
            t_reaper.armed = true;
        }
        return !local.closed;
    }

    static bool take_from_depot(Chain& into) noexcept {
        FreeBlock* head = depot_.take();
        if (head != nullptr) {
            into = Chain{head, kChainLength};
        }
        return head != nullptr;
    }

    // Passes on a chain of kChainLength blocks, or frees it if the depot is full.
    static void give_to_depot(FreeBlock* head) noexcept {
        if (!depot_.put(head)) {
            free_chain(head);
        }
    }

    static void free_chain(FreeBlock* head) noexcept {
        while (head != nullptr) {
            ::operator delete(std::exchange(head, head->next));
        }
    }

    static inline constinit thread_local Local t_local __attribute__((tls_model("initial-exec"))) = {};
    static inline thread_local Reaper t_reaper;
    // Never destroyed: threads may still free blocks while the process exits.
    static inline constinit sync::PointerPlaces<FreeBlock, kDepotChains> depot_;
};

}  // namespace torvan::engine::detail
