#pragma once
// Waiting on several channel operations at once and performing exactly one.
//
// Operations are added to a Select one by one and numbered from 0. Each wait
// tries them in a fresh uniformly random order (per-thread generator), so
// among operations that are ready together each is equally likely to win,
// timers included. If none is ready and the deadline allows, the thread
// watches them for a short while, then registers with every channel involved
// and sleeps until one of them signals, then tries again; it is unregistered
// everywhere before the wait returns.
//
// Selecting an operation claims it: a receive has taken its item (or found
// the channel disconnected and drained), a bounded send owns a slot, a
// rendezvous send is paired with a waiting receiver. The caller must then
// complete exactly that operation, at once, on the same handle. Completing it
// on another handle is a native failure, and so is dropping it without
// completing it: the claim is undone first (a reserved slot is skipped by
// receivers, a paired rendezvous receiver goes back to waiting, a received
// item is destroyed), then the destructor throws NativeFailure unless an
// exception is already unwinding the stack.
//
// The handles added to a Select must outlive it and every SelectedOperation
// it returns: the selector keeps their addresses.

#include <cstddef>
#include <optional>
#include <utility>

#include "core/failure.hpp"
#include "core/inline_vector.hpp"
#include "core/engine/channel.hpp"
#include "core/engine/claim.hpp"
#include "core/engine/select_ops.hpp"
#include "core/platform/clock.hpp"

namespace torvan::engine {

class Select;

// A claimed operation that the caller must complete exactly once.
class SelectedOperation {
public:
    SelectedOperation(SelectedOperation&& other) noexcept
        : index_(other.index_),
          handle_(other.handle_),
          table_(other.table_),
          claim_(std::move(other.claim_)),
          pending_(std::exchange(other.pending_, false)) {}
    SelectedOperation& operator=(SelectedOperation&&) = delete;
    SelectedOperation(const SelectedOperation&) = delete;
    SelectedOperation& operator=(const SelectedOperation&) = delete;

    // Dropping a pending operation is a breach of the selector's contract
    // that must reach the caller as a native failure, hence a destructor that
    // may throw (it never does while the stack is unwinding).
    ~SelectedOperation() noexcept(false);

    // The number the operation got when it was added.
    std::size_t index() const noexcept { return index_; }

    // Completes a selected send: Sent, or Disconnected with the item left
    // with the caller.
    template <class T>
    SendStatus send(const Sender<T>& sender, T& item) {
        begin_completion(&sender, &detail::SendOps<T>::table);
        return detail::SendOps<T>::complete(handle_, claim_, item);
    }

    // Completes a selected receive: Received (out filled) or Disconnected.
    template <class T>
    RecvStatus recv(const Receiver<T>& receiver, std::optional<T>& out) {
        begin_completion(&receiver, &detail::RecvOps<T>::table);
        return detail::RecvOps<T>::complete(claim_, out);
    }

private:
    friend class Select;

    SelectedOperation(std::size_t index, const void* handle, const detail::OpTable* table,
                      detail::Claim&& claim) noexcept
        : index_(index), handle_(handle), table_(table), claim_(std::move(claim)) {}

    void begin_completion(const void* handle, const detail::OpTable* table);

    std::size_t index_;
    const void* handle_;
    const detail::OpTable* table_;
    detail::Claim claim_;
    bool pending_ = true;
};

// A selected operation or nothing (timed out). Like std::optional, but its
// destructor lets the failure of an abandoned operation through.
class MaybeSelected {
public:
    MaybeSelected() noexcept {}
    MaybeSelected(std::nullopt_t) noexcept {}
    MaybeSelected(SelectedOperation&& op) noexcept : engaged_(true) { ::new (&op_) SelectedOperation(std::move(op)); }
    MaybeSelected(MaybeSelected&& other) noexcept : engaged_(other.engaged_) {
        if (engaged_) {
            ::new (&op_) SelectedOperation(std::move(other.op_));
        }
    }
    MaybeSelected& operator=(MaybeSelected&&) = delete;
    MaybeSelected(const MaybeSelected&) = delete;
    MaybeSelected& operator=(const MaybeSelected&) = delete;
    ~MaybeSelected() noexcept(false) {
        if (engaged_) {
            engaged_ = false;
            op_.~SelectedOperation();
        }
    }

    bool has_value() const noexcept { return engaged_; }
    explicit operator bool() const noexcept { return engaged_; }
    SelectedOperation& operator*() noexcept { return op_; }
    SelectedOperation* operator->() noexcept { return &op_; }
    SelectedOperation& value() {
        check(engaged_, "no operation was selected");
        return op_;
    }
    friend bool operator==(const MaybeSelected& m, std::nullopt_t) noexcept { return !m.engaged_; }

private:
    union {
        SelectedOperation op_;
    };
    bool engaged_ = false;
};

enum class SelectStatus { Selected, TimedOut, Interrupted };

struct SelectOutcome {
    SelectStatus status;
    MaybeSelected operation;  // engaged exactly when status is Selected
};

class Select {
public:
    Select() = default;

    template <class T>
    std::size_t add_send(const Sender<T>& sender) {
        return add(&sender, &detail::SendOps<T>::table);
    }

    // Timer and never-ready receivers included.
    template <class T>
    std::size_t add_recv(const Receiver<T>& receiver) {
        return add(&receiver, &detail::RecvOps<T>::table);
    }

    std::size_t size() const noexcept { return ops_.size(); }

    // Waits without a deadline.
    SelectedOperation select();

    // Waits at most `timeout`; nothing when it expires. A zero timeout checks
    // each operation once; a timeout whose deadline overflows never expires.
    MaybeSelected select_timeout(platform::Duration timeout);

    // Waits until the deadline. When interruptible, a signal handler running
    // on the sleeping thread ends the wait with Interrupted, nothing claimed.
    SelectOutcome select_until(platform::Deadline deadline, bool interruptible);

private:
    struct Op {
        const void* handle;
        const detail::OpTable* table;
    };

    std::size_t add(const void* handle, const detail::OpTable* table);
    // A channel call waits on two or three operations: no heap for those.
    using Order = InlineVector<std::size_t, 4>;
    bool looks_ready(const Order& order) const noexcept;
    MaybeSelected claim_ready(const Order& order, detail::Claim& claim) const;

    InlineVector<Op, 4> ops_;
    std::size_t item_size_ = 0;
    std::size_t item_align_ = 1;
};

}  // namespace torvan::engine
