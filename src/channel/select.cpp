// select(ops, timeout=None): one engine wait over every operation in `ops`,
// each raced against the close signal of its channel; exactly one operation
// is performed. The wait works on per-call clones of the operations' handles
// and on new references to their items, so the RecvOp and SendOp objects are
// left as they were whatever the outcome.

#include "channel/select.hpp"

#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

#include "binding/methods.hpp"
#include "channel/channel_errors.hpp"
#include "channel/channel_types.hpp"
#include "channel/channel_wait.hpp"
#include "binding/detached_wait.hpp"
#include "channel/ops.hpp"
#include "channel/timeout.hpp"

namespace torvan::select {

namespace {

using binding::OwnedRef;
using binding::raise;
using namespace torvan::channel;

// One element of `ops`. Record k owns selector operations 2k (the data
// operation) and 2k + 1 (its channel's close signal).
struct Record {
    bool sends = false;
    DataSender sender;      // for a send
    DataReceiver receiver;  // for a receive
    CloseReceiver close_receiver;
    Item item;  // for a send: a new reference, given to the channel only if sent
};

Record record_for(PyObject* op) {
    if (const RecvOpState* recv = recv_op_state(op)) {
        return Record{false, {}, recv->receiver.clone(), recv->close_receiver.clone(), {}};
    }
    if (const SendOpState* send = send_op_state(op)) {
        return Record{true, send->sender.clone(), {}, send->close_receiver.clone(), send->item.clone()};
    }
    raise(PyExc_TypeError, "Operations must be of type RecvOp or SendOp");
}

struct Result {
    enum class Kind { Received, Sent, ClosedAndEmpty, SendClosed, TimedOut };
    Kind kind;
    std::size_t position = 0;  // of the operation performed, or of the closed one
    Item item;
};

// Completes the selected operation, still detached; nullopt if a signal
// interrupted the drain of a closed channel (the next attempt finds it closed).
std::optional<Result> complete(engine::SelectedOperation& op, std::vector<Record>& records) {
    const std::size_t position = op.index() / 2;
    Record& record = records[position];
    if (op.index() % 2 == 1) {
        std::optional<engine::Empty> signal;
        op.recv(record.close_receiver, signal);
        if (record.sends) {
            return Result{Result::Kind::SendClosed, position};
        }
        std::optional<RecvOutcome> drained = drain_one(record.receiver);
        if (!drained) {
            return std::nullopt;
        }
        if (drained->kind == RecvOutcome::Kind::Received) {
            return Result{Result::Kind::Received, position, std::move(drained->item)};
        }
        return Result{Result::Kind::ClosedAndEmpty, position};
    }
    if (record.sends) {
        // Not sent, the item stays in the record and is released after the wait.
        if (op.send(record.sender, record.item) == engine::SendStatus::Sent) {
            return Result{Result::Kind::Sent, position};
        }
        return Result{Result::Kind::SendClosed, position};
    }
    std::optional<Item> got;
    if (op.recv(record.receiver, got) == engine::RecvStatus::Received) {
        return Result{Result::Kind::Received, position, std::move(*got)};
    }
    return Result{Result::Kind::ClosedAndEmpty, position};
}

Result wait_for_one(std::vector<Record>& records, std::optional<platform::Duration> timeout) {
    std::optional<platform::Deadline> deadline;  // fixed at the first attempt
    return binding::wait_detached([&]() -> std::optional<Result> {
        if (!deadline) {
            deadline = timeout ? platform::Deadline::after(*timeout) : platform::Deadline::never();
        }
        engine::Select select;
        for (const Record& record : records) {
            if (record.sends) {
                select.add_send(record.sender);
            } else {
                select.add_recv(record.receiver);
            }
            select.add_recv(record.close_receiver);
        }
        // Any operation ready at the first look wins over an expired deadline.
        engine::SelectOutcome outcome = select.select_until(*deadline, true);
        switch (outcome.status) {
            case engine::SelectStatus::Interrupted:
                return std::nullopt;
            case engine::SelectStatus::TimedOut:
                return Result{Result::Kind::TimedOut};
            case engine::SelectStatus::Selected:
                break;
        }
        return complete(*outcome.operation, records);
    });
}

OwnedRef pair(std::size_t position, OwnedRef value) {
    OwnedRef index = binding::checked(PyLong_FromSize_t(position));
    OwnedRef tuple = binding::checked(PyTuple_New(2));
    PyTuple_SET_ITEM(tuple.get(), 0, index.release());
    PyTuple_SET_ITEM(tuple.get(), 1, value ? value.release() : Py_NewRef(Py_None));
    return tuple;
}

OwnedRef select_one(binding::SequenceItems ops, std::optional<double> timeout) {
    if (ops.items.empty()) {
        raise(PyExc_ValueError, "Operations list cannot be empty");
    }
    std::vector<Record> records;
    records.reserve(ops.items.size());
    for (const OwnedRef& op : ops.items) {
        records.push_back(record_for(op.get()));
    }
    std::optional<platform::Duration> duration = select_timeout(timeout);
    Result result = wait_for_one(records, duration);
    records.clear();  // unsent items go back now, before the result is built
    switch (result.kind) {
        case Result::Kind::Received:
            return pair(result.position, std::move(result.item));
        case Result::Kind::Sent:
            return pair(result.position, OwnedRef{});
        // The error names the operation, so a fan-in can drop the closed channel.
        case Result::Kind::ClosedAndEmpty:
            raise_closed_at(result.position, "Selected channel is closed and empty");
        case Result::Kind::SendClosed:
            raise_closed_at(result.position, "Selected channel is closed");
        case Result::Kind::TimedOut:
            break;
    }
    raise(PyExc_TimeoutError, "select() timed out waiting for ready channel");
}

PyMethodDef g_select = binding::function<&select_one, "select", "ops", "timeout=None">(
    "Block until one of the channel operations (recv_op or send_op) is ready, or until optional timeout expires.\n"
    "Multiplexes several channel operations: waits on all of them at once and performs exactly one.");

}  // namespace

PyMethodDef* select_function() { return &g_select; }

}  // namespace torvan::select
