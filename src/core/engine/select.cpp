#include "core/engine/select.hpp"

#include <algorithm>
#include <exception>
#include <numeric>

#include "core/engine/random.hpp"
#include "core/engine/timer.hpp"
#include "core/sync/spin_wait.hpp"
#include "core/sync/wait_pace.hpp"

namespace torvan::engine {

SelectedOperation::~SelectedOperation() noexcept(false) {
    if (!pending_) {
        return;
    }
    pending_ = false;
    table_->abandon(handle_, claim_);
    if (std::uncaught_exceptions() == 0) {
        fail("a selected channel operation was dropped without being completed");
    }
}

void SelectedOperation::begin_completion(const void* handle, const detail::OpTable* table) {
    check(pending_, "a selected channel operation was completed twice");
    // The table identifies item type and direction, the address the handle.
    check(handle == handle_ && table == table_,
          "a selected channel operation was completed with a handle other than the selected one");
    pending_ = false;
}

std::size_t Select::add(const void* handle, const detail::OpTable* table) {
    ops_.push_back(Op{handle, table});
    item_size_ = std::max(item_size_, table->item_size);
    item_align_ = std::max(item_align_, table->item_align);
    return ops_.size() - 1;
}

SelectedOperation Select::select() {
    SelectOutcome outcome = select_until(platform::Deadline::never(), false);
    return std::move(outcome.operation.value());
}

MaybeSelected Select::select_timeout(platform::Duration timeout) {
    SelectOutcome outcome = select_until(platform::Deadline::after(timeout), false);
    return std::move(outcome.operation);
}

bool Select::looks_ready(const Order& order) const noexcept {
    return std::any_of(order.begin(), order.end(),
                       [this](std::size_t i) { return ops_[i].table->looks_ready(ops_[i].handle); });
}

MaybeSelected Select::claim_ready(const Order& order, detail::Claim& claim) const {
    for (std::size_t i : order) {
        if (ops_[i].table->try_select(ops_[i].handle, claim)) {
            return SelectedOperation(i, ops_[i].handle, ops_[i].table, std::move(claim));
        }
    }
    return std::nullopt;
}

namespace {

// What a wait keeps per operation: its registration while it sleeps
// (unregistered from every channel, with what no accept took over freed,
// also when registering throws) and the pace of its side.
class Registrations {
public:
    struct Record {
        void* reg = nullptr;
        bool registered = false;
        sync::WaitPace* pace = nullptr;  // none: the operation keeps no pace
    };

    explicit Registrations(std::size_t count) : records_(count) {}
    Registrations(const Registrations&) = delete;
    Registrations& operator=(const Registrations&) = delete;

    // The operation id of record i: its address, unique during the wait.
    std::uintptr_t oper(std::size_t i) const noexcept { return reinterpret_cast<std::uintptr_t>(&records_[i]); }
    Record& operator[](std::size_t i) noexcept { return records_[i]; }
    std::size_t size() const noexcept { return records_.size(); }

    template <class Ops>
    void unregister_all(const Ops& ops) noexcept {
        for (std::size_t i = 0; i < records_.size(); ++i) {
            if (records_[i].registered) {
                records_[i].registered = false;
                ops[i].table->unregister_op(ops[i].handle, oper(i));
            }
        }
    }

    template <class Ops>
    void discard_all(const Ops& ops) noexcept {
        for (std::size_t i = 0; i < records_.size(); ++i) {
            if (records_[i].reg != nullptr) {
                ops[i].table->discard_registration(records_[i].reg);
            }
        }
    }

private:
    InlineVector<Record, 4> records_;  // never grows: the operation ids are addresses
};

// Tells the pace of every operation of a wait, when it returns, how the
// wait ended (see sync::WaitPace).
class WaitEndReport {
public:
    explicit WaitEndReport(Registrations& regs) noexcept : regs_(regs) {}
    WaitEndReport(const WaitEndReport&) = delete;
    WaitEndReport& operator=(const WaitEndReport&) = delete;
    ~WaitEndReport() {
        for (std::size_t i = 0; i < regs_.size(); ++i) {
            if (sync::WaitPace* pace = regs_[i].pace) {
                pace->ended(soon);
            }
        }
    }

    bool soon = false;  // ended by the first look after a pause
    bool slept = false;

private:
    Registrations& regs_;
};

template <class Ops>
class RegistrationScope {
public:
    RegistrationScope(Registrations& regs, const Ops& ops) noexcept : regs_(regs), ops_(ops) {}
    RegistrationScope(const RegistrationScope&) = delete;
    RegistrationScope& operator=(const RegistrationScope&) = delete;
    ~RegistrationScope() {
        regs_.unregister_all(ops_);
        regs_.discard_all(ops_);
    }

private:
    Registrations& regs_;
    const Ops& ops_;
};

}  // namespace

SelectOutcome Select::select_until(platform::Deadline deadline, bool interruptible) {
    check(!ops_.empty(), "select was called without any operations");
    const std::size_t count = ops_.size();

    Order order(count);
    std::iota(order.begin(), order.end(), std::size_t{0});
    detail::shuffle(order.begin(), count);

    detail::Claim claim;
    claim.item.reserve(item_size_, item_align_);

    if (MaybeSelected op = claim_ready(order, claim)) {
        return SelectOutcome{SelectStatus::Selected, std::move(op)};
    }
    if (deadline.has_passed()) {
        return SelectOutcome{SelectStatus::TimedOut, {}};
    }

    // Operations that partners find only registered make the wait register
    // at once and spin afterwards; any other wait spins first, watching its
    // operations without registering, so that meanwhile the other side's
    // operations pay nothing for it.
    const bool register_first = std::any_of(ops_.begin(), ops_.end(), [](const Op& op) {
        return op.table->found_only_registered(op.handle);
    });
    // The latest first look that any operation's pace asks for.
    Registrations regs(count);
    std::uint64_t first_gap = sync::SpinWait::kFirstGapNs;
    for (std::size_t i = 0; i < count; ++i) {
        const sync::PaceAt at = ops_[i].table->pace(ops_[i].handle);
        if ((regs[i].pace = at.pace) != nullptr) {
            first_gap = std::max(first_gap, at.pace->first_gap(at.position));
        }
    }
    WaitEndReport report(regs);
    for (;;) {
        sync::SpinWait spin(first_gap);
        first_gap = sync::SpinWait::kFirstGapNs;
        if (!register_first) {
            while (spin.spin()) {
                if (looks_ready(order)) {
                    if (MaybeSelected op = claim_ready(order, claim)) {
                        report.soon = !report.slept && spin.ended_soon();
                        return SelectOutcome{SelectStatus::Selected, std::move(op)};
                    }
                }
                if (deadline.has_passed()) {
                    return SelectOutcome{SelectStatus::TimedOut, {}};
                }
            }
        }
        std::uintptr_t sel = detail::kWaiting;
        std::optional<std::size_t> ready;
        detail::AbortReason reason = detail::AbortReason::None;
        {
            detail::ContextScope cx;
            RegistrationScope scope(regs, ops_);
            for (std::size_t i : order) {
                const bool is_ready = ops_[i].table->register_op(ops_[i].handle, regs.oper(i), *cx, regs[i].reg);
                regs[i].registered = true;
                if (is_ready) {
                    // Became ready meanwhile: stop unless another thread selected us first.
                    if (cx->try_select(detail::kAborted)) {
                        ready = i;
                        sel = detail::kAborted;
                    } else {
                        sel = cx->selected();
                    }
                    break;
                }
                sel = cx->selected();
                if (sel != detail::kWaiting) {
                    break;
                }
            }
            if (sel == detail::kWaiting) {
                platform::Deadline wake = deadline;
                for (const Op& op : ops_) {
                    wake = detail::earlier(wake, op.table->wake_time(op.handle));
                }
                sel = cx->wait_until(spin, wake, interruptible, reason);
                report.slept = true;
            }
            regs.unregister_all(ops_);
            if (sel != detail::kAborted && sel != detail::kDisconnected) {
                // Another thread selected one of our registrations.
                for (std::size_t i = 0; i < count; ++i) {
                    if (regs.oper(i) == sel) {
                        if (ops_[i].table->accept(ops_[i].handle, claim, regs[i].reg)) {
                            return SelectOutcome{SelectStatus::Selected,
                                                 SelectedOperation(i, ops_[i].handle, ops_[i].table, std::move(claim))};
                        }
                        break;
                    }
                }
            }
        }
        if (sel == detail::kAborted) {
            if (ready && ops_[*ready].table->try_select(ops_[*ready].handle, claim)) {
                return SelectOutcome{SelectStatus::Selected,
                                     SelectedOperation(*ready, ops_[*ready].handle, ops_[*ready].table, std::move(claim))};
            }
            if (reason == detail::AbortReason::Interrupted) {
                return SelectOutcome{SelectStatus::Interrupted, {}};
            }
        }
        if (MaybeSelected op = claim_ready(order, claim)) {
            return SelectOutcome{SelectStatus::Selected, std::move(op)};
        }
        if (deadline.has_passed()) {
            return SelectOutcome{SelectStatus::TimedOut, {}};
        }
    }
}

}  // namespace torvan::engine
