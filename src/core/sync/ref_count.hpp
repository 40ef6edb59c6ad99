#pragma once
// Intrusive reference counting for objects that several threads share, and
// the owner of one reference. Whoever drops the last reference deletes the
// object; the deleting thread sees every write made before the other
// references were dropped.

#include <atomic>
#include <cstdint>
#include <utility>

namespace torvan::sync {

// A base that counts references to `Derived`, starting at one for its
// creator. `Derived` may keep its destructor private and befriend this base.
template <class Derived, class Count = std::uint32_t>
class RefCounted {
public:
    RefCounted(const RefCounted&) = delete;
    RefCounted& operator=(const RefCounted&) = delete;

    // Relaxed: a new reference is made from one the caller holds, so the
    // count cannot reach zero meanwhile. The acq_rel decrement orders every
    // holder's use before the destruction; the acquire snapshot pairs with it.
    void add_ref() noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }
    void release() noexcept {
        if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            delete static_cast<Derived*>(this);
        }
    }
    // A snapshot, stale as soon as it returns unless the caller holds the
    // only reference.
    Count use_count() const noexcept { return refs_.load(std::memory_order_acquire); }

protected:
    RefCounted() noexcept = default;
    ~RefCounted() = default;

private:
    std::atomic<Count> refs_{1};
};

// Owns one reference to a T with add_ref() and release() (a RefCounted or
// anything counted alike), and drops it when destroyed or reset.
template <class T>
class CountedRef {
public:
    CountedRef() noexcept = default;
    // Takes over a reference the caller owned.
    explicit CountedRef(T* adopted) noexcept : p_(adopted) {}
    // A new T, whose creator's reference this takes. May throw what T's
    // constructor or the allocation throws.
    template <class... Args>
    static CountedRef make(Args&&... args) {
        return CountedRef(new T(std::forward<Args>(args)...));
    }

    CountedRef(CountedRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    CountedRef& operator=(CountedRef&& other) noexcept {
        if (this != &other) {
            reset();
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }
    CountedRef(const CountedRef&) = delete;
    CountedRef& operator=(const CountedRef&) = delete;
    ~CountedRef() { reset(); }

    // A further reference to the same object.
    CountedRef clone() const noexcept {
        p_->add_ref();
        return CountedRef(p_);
    }

    T* get() const noexcept { return p_; }
    T* operator->() const noexcept { return p_; }
    T& operator*() const noexcept { return *p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    auto use_count() const noexcept { return p_->use_count(); }

    // Gives the reference up to the caller, who must release it.
    T* release() noexcept { return std::exchange(p_, nullptr); }
    void reset() noexcept {
        if (T* p = std::exchange(p_, nullptr)) {
            p->release();
        }
    }

private:
    T* p_ = nullptr;
};

}  // namespace torvan::sync
