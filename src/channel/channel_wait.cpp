#include "channel/channel_wait.hpp"

#include <type_traits>

#include "core/failure.hpp"
#include "binding/detached_wait.hpp"

namespace torvan::channel {

namespace {

// The timer is made at the first attempt, inside the detached section, and
// kept across attempts that a signal interrupted, so the deadline stays put.
void start_timer(Timer& timer, const std::optional<platform::Duration>& timeout) {
    if (timeout && !timer) {
        timer = engine::after(*timeout);
    }
}

// The wait itself has no deadline: the timer operation ends it.
engine::SelectOutcome wait_for_one(engine::Select& select) {
    engine::SelectOutcome outcome = select.select_until(platform::Deadline::never(), true);
    check(outcome.status != engine::SelectStatus::TimedOut, "a channel wait without deadline timed out");
    return outcome;
}

void consume_close_signal(engine::SelectedOperation& op, const CloseReceiver& closed) {
    std::optional<engine::Empty> signal;
    op.recv(closed, signal);
}

void consume_timer(engine::SelectedOperation& op, const Timer& timer) {
    std::optional<platform::Deadline> fired;
    op.recv(timer, fired);
}

// One wait of a channel call on, in this order: the data operation that
// `add_data` adds, the close signal, the timer. `take_data` completes the
// data operation once it is ready; `after_close` and `timed_out` give the
// outcome after the close signal (or nullopt, interrupted) and the timer.
template <class AddData, class TakeData, class AfterClose, class TimedOut>
auto wait_racing_close(const CloseReceiver& closed, std::optional<platform::Duration> timeout, AddData add_data,
                       TakeData take_data, AfterClose after_close, TimedOut timed_out) {
    using Outcome = std::invoke_result_t<TakeData&, engine::SelectedOperation&>;
    Timer timer;
    return binding::wait_detached([&]() -> std::optional<Outcome> {
        start_timer(timer, timeout);
        engine::Select select;
        add_data(select);
        select.add_recv(closed);
        if (timer) {
            select.add_recv(timer);
        }
        engine::SelectOutcome outcome = wait_for_one(select);
        if (outcome.status == engine::SelectStatus::Interrupted) {
            return std::nullopt;
        }
        engine::SelectedOperation& op = *outcome.operation;
        switch (op.index()) {
            case 0:
                return take_data(op);
            case 1:
                consume_close_signal(op, closed);
                return after_close();
            default:
                consume_timer(op, timer);
                return timed_out();
        }
    });
}

// A receive that cannot wait: the item `status` says it got, or the end of
// a closed channel.
RecvOutcome received_or_closed(engine::RecvStatus status, std::optional<Item>& got) {
    if (status == engine::RecvStatus::Received) {
        return RecvOutcome{RecvOutcome::Kind::Received, std::move(*got)};
    }
    return RecvOutcome{RecvOutcome::Kind::ClosedAndEmpty, {}};
}

}  // namespace

SendOutcome wait_to_send(const DataSender& sender, const CloseReceiver& closed, Item& item,
                         std::optional<platform::Duration> timeout) {
    return wait_racing_close(
        closed, timeout, [&](engine::Select& select) { select.add_send(sender); },
        [&](engine::SelectedOperation& op) {
            return op.send(sender, item) == engine::SendStatus::Sent ? SendOutcome::Sent : SendOutcome::Closed;
        },
        [] { return SendOutcome::Closed; }, [] { return SendOutcome::TimedOut; });
}

// Waiting, not trying: a send that claimed its place before close() may
// still be writing its item, and close() has disconnected the channel for
// senders, so this waits for such sends only, which finish at once. A signal
// ends the wait all the same (nullopt), so that the caller's handlers run.
std::optional<RecvOutcome> drain_one(const DataReceiver& receiver) {
    std::optional<Item> got;
    engine::RecvStatus status = receiver.recv_until(got, platform::Deadline::never(), true);
    if (status == engine::RecvStatus::Interrupted) {
        return std::nullopt;
    }
    return received_or_closed(status, got);
}

RecvOutcome wait_to_receive(const DataReceiver& receiver, const CloseReceiver& closed,
                            std::optional<platform::Duration> timeout) {
    // Declared out here, where GCC 12 does not misreport it as maybe
    // uninitialized under the sanitizers.
    std::optional<Item> got;
    return wait_racing_close(
        closed, timeout, [&](engine::Select& select) { select.add_recv(receiver); },
        [&](engine::SelectedOperation& op) {
            engine::RecvStatus status = op.recv(receiver, got);
            return received_or_closed(status, got);
        },
        [&] { return drain_one(receiver); }, [] { return RecvOutcome{RecvOutcome::Kind::TimedOut, {}}; });
}

}  // namespace torvan::channel
