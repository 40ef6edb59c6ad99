#include "channel/channel_wait.hpp"

#include "core/failure.hpp"
#include "channel/detached_wait.hpp"

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

}  // namespace

SendOutcome wait_to_send(const DataSender& sender, const CloseReceiver& closed, Item& item,
                         std::optional<platform::Duration> timeout) {
    Timer timer;
    return wait_detached([&]() -> std::optional<SendOutcome> {
        start_timer(timer, timeout);
        engine::Select select;
        select.add_send(sender);
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
                return op.send(sender, item) == engine::SendStatus::Sent ? SendOutcome::Sent : SendOutcome::Closed;
            case 1:
                consume_close_signal(op, closed);
                return SendOutcome::Closed;
            default:
                consume_timer(op, timer);
                return SendOutcome::TimedOut;
        }
    });
}

RecvOutcome drain_one(const DataReceiver& receiver) {
    std::optional<Item> got;
    if (receiver.try_recv(got) == engine::RecvStatus::Received) {
        return RecvOutcome{RecvOutcome::Kind::Received, std::move(*got)};
    }
    return RecvOutcome{RecvOutcome::Kind::ClosedAndEmpty, {}};
}

RecvOutcome wait_to_receive(const DataReceiver& receiver, const CloseReceiver& closed,
                            std::optional<platform::Duration> timeout) {
    Timer timer;
    return wait_detached([&]() -> std::optional<RecvOutcome> {
        start_timer(timer, timeout);
        engine::Select select;
        select.add_recv(receiver);
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
            case 0: {
                std::optional<Item> got;
                if (op.recv(receiver, got) == engine::RecvStatus::Received) {
                    return RecvOutcome{RecvOutcome::Kind::Received, std::move(*got)};
                }
                return RecvOutcome{RecvOutcome::Kind::ClosedAndEmpty, {}};
            }
            case 1:
                consume_close_signal(op, closed);
                return drain_one(receiver);
            default:
                consume_timer(op, timer);
                return RecvOutcome{RecvOutcome::Kind::TimedOut, {}};
        }
    });
}

}  // namespace torvan::channel
