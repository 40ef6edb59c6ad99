#pragma once
// One submitted call, moved through the pool's queue as a unit: the callable,
// its arguments, the future it completes and the submitter's context.

#include "binding/owned_ref.hpp"

namespace torvan::pool {

struct Task {
    binding::OwnedRef func;
    binding::OwnedRef args;     // a tuple, possibly empty
    binding::OwnedRef kwargs;   // a dict, or null when no keyword was given
    binding::OwnedRef future;
    binding::OwnedRef context;  // null when the context could not be copied

    Task(binding::OwnedRef func_, binding::OwnedRef args_, binding::OwnedRef kwargs_, binding::OwnedRef future_,
         binding::OwnedRef context_) noexcept
        : func(std::move(func_)),
          args(std::move(args_)),
          kwargs(std::move(kwargs_)),
          future(std::move(future_)),
          context(std::move(context_)) {}
    Task(Task&&) noexcept = default;
    Task& operator=(Task&&) noexcept = default;
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;

    // Members would be released in reverse order; the references go in field
    // order instead. Detached, each release is deferred.
    ~Task() {
        func.reset();
        args.reset();
        kwargs.reset();
        future.reset();
        context.reset();
    }
};

}  // namespace torvan::pool
