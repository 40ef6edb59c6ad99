#pragma once
// The selector's view of one operation: a table of functions per item type
// and direction, dispatching on the flavour of the handle. The table's
// address also identifies the type and direction of a selected operation.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <type_traits>

#include "core/engine/channel.hpp"
#include "core/engine/claim.hpp"
#include "core/engine/context.hpp"
#include "core/platform/clock.hpp"
#include "core/sync/wait_pace.hpp"

namespace torvan::engine::detail {

struct OpTable {
    std::size_t item_size;
    std::size_t item_align;
    // Claims the operation if it is ready now.
    bool (*try_select)(const void* handle, Claim& claim);
    // Whether the operation looks ready, from reads alone (no claim, no
    // lock); it may miss a disconnection, which registering then finds.
    bool (*looks_ready)(const void* handle) noexcept;
    // True for an operation that a partner can only find registered (a
    // rendezvous send): a wait with one registers before it spins.
    bool (*found_only_registered)(const void* handle) noexcept;
    // Registers a waiting thread; true if the operation is ready already.
    bool (*register_op)(const void* handle, std::uintptr_t oper, Context& cx, void*& reg);
    void (*unregister_op)(const void* handle, std::uintptr_t oper) noexcept;
    // Frees what a registration kept that no accept took over.
    void (*discard_registration)(void*& reg) noexcept;
    // After this registration was selected by another thread: claims it.
    bool (*accept)(const void* handle, Claim& claim, void*& reg);
    // The pace of the operation's side, if it keeps one (sync::WaitPace).
    sync::PaceAt (*pace)(const void* handle) noexcept;
    // When a waiter must wake up for this operation (timers).
    platform::Deadline (*wake_time)(const void* handle) noexcept;
    // Undoes a claim that is never completed.
    void (*abandon)(const void* handle, Claim& claim) noexcept;
};

// How the selector reaches the channel behind a handle (`Handle` is a
// Sender<T> or a Receiver<T>).
template <class T, class Handle>
struct HandleOps {
    static const HandleBase<T>& handle(const void* p) noexcept { return *static_cast<const Handle*>(p); }
    static Flavour flavour(const void* p) noexcept { return HandleAccess::flavour(handle(p)); }
    static ArrayChannel<T>& array(const void* p) noexcept { return HandleAccess::array(handle(p)); }
    static ListChannel<T>& list(const void* p) noexcept { return HandleAccess::list(handle(p)); }
    static ZeroChannel<T>& zero(const void* p) noexcept { return HandleAccess::zero(handle(p)); }
    static TimerState* timer(const void* p) noexcept { return HandleAccess::timer(handle(p)); }

    static void discard_registration(void*& reg) noexcept { ZeroChannel<T>::discard_registration(reg); }
};

// The table of an operations struct (SendOps or RecvOps) whose selected item
// has the given size and alignment.
template <class Ops>
constexpr OpTable op_table(std::size_t item_size, std::size_t item_align) noexcept {
    return OpTable{.item_size = item_size,
                   .item_align = item_align,
                   .try_select = &Ops::try_select,
                   .looks_ready = &Ops::looks_ready,
                   .found_only_registered = &Ops::found_only_registered,
                   .register_op = &Ops::register_op,
                   .unregister_op = &Ops::unregister_op,
                   .discard_registration = &Ops::discard_registration,
                   .accept = &Ops::accept,
                   .pace = &Ops::pace,
                   .wake_time = &Ops::wake_time,
                   .abandon = &Ops::abandon};
}

// A receive attempt on behalf of the selector: a received item goes into the
// claim, and a disconnection counts as ready too.
template <class T, class Chan>
bool claim_receive(Chan& chan, Claim& claim) noexcept {
    switch (chan.try_recv([&](T&& item) noexcept { claim.item.put(std::move(item)); })) {
        case RecvStatus::Received:
            claim.kind = ClaimKind::Received;
            return true;
        case RecvStatus::Disconnected:
            claim.kind = ClaimKind::RecvDisconnected;
            return true;
        default:
            return false;
    }
}

template <class T>
struct SendOps : HandleOps<T, Sender<T>> {
    using Base = HandleOps<T, Sender<T>>;
    using Base::array, Base::flavour, Base::list, Base::zero;

    static bool try_select(const void* p, Claim& claim) {
        switch (flavour(p)) {
            case Flavour::Array:
                return array(p).try_select_send(claim);
            case Flavour::List:
                return list(p).try_select_send(claim);
            case Flavour::Zero:
                return zero(p).try_select_send(claim);
            default:
                moved_from_handle();
        }
    }

    static bool looks_ready(const void* p) noexcept {
        switch (flavour(p)) {
            case Flavour::Array:
                return array(p).send_ready();
            case Flavour::Zero:
                return zero(p).send_ready();
            default:
                return true;
        }
    }

    // Receivers that spin look for waiting senders, so a selecting rendezvous
    // sender must be registered to be found.
    static bool found_only_registered(const void* p) noexcept { return flavour(p) == Flavour::Zero; }

    static bool register_op(const void* p, std::uintptr_t oper, Context& cx, void*& reg) {
        switch (flavour(p)) {
            case Flavour::Array:
                return array(p).register_send(oper, cx);
            case Flavour::Zero:
                return zero(p).register_send(oper, cx, reg);
            default:
                return true;  // unbounded: always ready, nothing to register
        }
    }

    static void unregister_op(const void* p, std::uintptr_t oper) noexcept {
        switch (flavour(p)) {
            case Flavour::Array:
                array(p).unregister_send(oper);
                break;
            case Flavour::Zero:
                zero(p).unregister_send(oper);
                break;
            default:
                break;
        }
    }

    static bool accept(const void* p, Claim& claim, void*& reg) {
        if (flavour(p) == Flavour::Zero) {
            return ZeroChannel<T>::accept_send(claim, reg);
        }
        return try_select(p, claim);
    }

    static sync::PaceAt pace(const void* p) noexcept {
        return flavour(p) == Flavour::Array ? array(p).send_pace() : sync::PaceAt{};
    }

    static platform::Deadline wake_time(const void*) noexcept { return platform::Deadline::never(); }

    static void abandon(const void* p, Claim& claim) noexcept {
        switch (flavour(p)) {
            case Flavour::Array:
                array(p).abandon_send(claim);
                break;
            case Flavour::Zero:
                ZeroChannel<T>::abandon_send(claim);
                break;
            default:
                break;
        }
    }

    static SendStatus complete(const void* p, Claim& claim, T& item) {
        switch (flavour(p)) {
            case Flavour::Array:
                return array(p).complete_send(claim, item);
            case Flavour::List:
                return list(p).complete_send(claim, item);
            case Flavour::Zero:
                return ZeroChannel<T>::complete_send(claim, item);
            default:
                moved_from_handle();
        }
    }

    static const OpTable table;
};

template <class T>
struct RecvOps : HandleOps<T, Receiver<T>> {
    using Base = HandleOps<T, Receiver<T>>;
    using Base::array, Base::flavour, Base::list, Base::timer, Base::zero;

    static bool try_select(const void* p, Claim& claim) {
        switch (flavour(p)) {
            case Flavour::Array:
                return claim_receive<T>(array(p), claim);
            case Flavour::List:
                return claim_receive<T>(list(p), claim);
            case Flavour::Zero:
                return claim_receive<T>(zero(p), claim);
            case Flavour::Timer:
                if constexpr (std::is_same_v<T, platform::Deadline>) {
                    if (timer(p)->try_fire()) {
                        claim.item.put(timer(p)->deadline());
                        claim.kind = ClaimKind::Received;
                        return true;
                    }
                }
                return false;
            case Flavour::Never:
                return false;
            default:
                moved_from_handle();
        }
    }

    static bool looks_ready(const void* p) noexcept {
        switch (flavour(p)) {
            case Flavour::Array:
                return array(p).recv_ready();
            case Flavour::List:
                return list(p).recv_ready();
            case Flavour::Zero:
                return zero(p).recv_ready();
            case Flavour::Timer:
                return timer(p)->is_ready();
            default:
                return false;
        }
    }

    static bool found_only_registered(const void*) noexcept { return false; }

    static bool register_op(const void* p, std::uintptr_t oper, Context& cx, void*& reg) {
        switch (flavour(p)) {
            case Flavour::Array:
                return array(p).register_recv(oper, cx);
            case Flavour::List:
                return list(p).register_recv(oper, cx);
            case Flavour::Zero:
                return zero(p).register_recv(oper, cx, reg);
            case Flavour::Timer:
                return timer(p)->is_ready();
            default:
                return false;
        }
    }

    static void unregister_op(const void* p, std::uintptr_t oper) noexcept {
        switch (flavour(p)) {
            case Flavour::Array:
                array(p).unregister_recv(oper);
                break;
            case Flavour::List:
                list(p).unregister_recv(oper);
                break;
            case Flavour::Zero:
                zero(p).unregister_recv(oper);
                break;
            default:
                break;
        }
    }

    static bool accept(const void* p, Claim& claim, void*& reg) {
        if (flavour(p) == Flavour::Zero) {
            return ZeroChannel<T>::accept_recv(claim, reg);
        }
        return try_select(p, claim);
    }

    static sync::PaceAt pace(const void* p) noexcept {
        switch (flavour(p)) {
            case Flavour::Array:
                return array(p).recv_pace();
            case Flavour::List:
                return list(p).recv_pace();
            default:
                return {};
        }
    }

    static platform::Deadline wake_time(const void* p) noexcept {
        return flavour(p) == Flavour::Timer ? timer(p)->wake_time() : platform::Deadline::never();
    }

    // A received item that is never handed out is destroyed.
    static void abandon(const void*, Claim& claim) noexcept { claim.item.clear(); }

    static RecvStatus complete(Claim& claim, std::optional<T>& out) noexcept {
        out.reset();
        if (claim.kind != ClaimKind::Received) {
            return RecvStatus::Disconnected;
        }
        out.emplace(std::move(claim.item.template get<T>()));
        claim.item.clear();
        return RecvStatus::Received;
    }

    static const OpTable table;
};

// Out of the structs: a table needs its struct complete.
template <class T>
constinit const OpTable SendOps<T>::table = op_table<SendOps<T>>(0, 1);
template <class T>
constinit const OpTable RecvOps<T>::table = op_table<RecvOps<T>>(sizeof(T), alignof(T));

}  // namespace torvan::engine::detail
