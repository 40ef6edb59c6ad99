#pragma once
// RecvOp and SendOp: what a Channel hands out for select(). Each holds its
// own clones of the channel's handles, so it keeps working after the Channel
// object is gone; both are immutable after creation.

#include "binding/owned_ref.hpp"
#include "binding/python.hpp"
#include "channel/channel_types.hpp"

namespace torvan::channel {

struct RecvOpState {
    DataReceiver receiver;
    CloseReceiver close_receiver;
};

struct SendOpState {
    DataSender sender;
    CloseReceiver close_receiver;
    Item item;  // sent again each time the op is selected
};

// The type objects, built on first use.
PyTypeObject* recv_op_type();
PyTypeObject* send_op_type();

binding::OwnedRef make_recv_op(RecvOpState state);
binding::OwnedRef make_send_op(SendOpState state);

// The state behind an operation object, or null when `object` is not one.
const RecvOpState* recv_op_state(PyObject* object);
const SendOpState* send_op_state(PyObject* object);

}  // namespace torvan::channel
