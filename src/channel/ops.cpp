// RecvOp and SendOp have no constructor, methods or attributes of their own
// (only __class_getitem__, for annotations): Channel.recv_op() and
// Channel.send_op() make them, select() reads them.

#include "channel/ops.hpp"

#include "binding/instance.hpp"
#include "binding/methods.hpp"
#include "binding/type_object.hpp"

namespace torvan::channel {

namespace {

// The two classes differ in their name, their docstring and what they hold.
template <binding::Literal Name, binding::Literal Doc, class OpState>
struct OpClass : binding::ClassTraits {
    static constexpr const char* kName = Name.text;
    using State = OpState;
    static binding::ClassDefinition definition() {
        return {.doc = Doc.text, .methods = {binding::class_getitem_def()}};
    }
};

using RecvOpClass =
    OpClass<"RecvOp", "An operation descriptor for receiving from a channel inside `select()`.", RecvOpState>;
using SendOpClass =
    OpClass<"SendOp", "An operation descriptor for sending to a channel inside `select()`.", SendOpState>;

// Neither class can be subclassed, so the exact type identifies an instance.
template <class Class>
const typename Class::State* state_of(PyObject* object) {
    PyTypeObject* type = binding::TypeObject<Class>::get();
    if (Py_TYPE(object) != type) {
        return nullptr;
    }
    return &binding::Instance<Class>::from(object)->state;
}

}  // namespace

PyTypeObject* recv_op_type() { return binding::TypeObject<RecvOpClass>::for_registration(); }
PyTypeObject* send_op_type() { return binding::TypeObject<SendOpClass>::for_registration(); }

binding::OwnedRef make_recv_op(RecvOpState state) {
    return binding::create_native_instance<RecvOpClass>(binding::TypeObject<RecvOpClass>::get(), std::move(state));
}

binding::OwnedRef make_send_op(SendOpState state) {
    return binding::create_native_instance<SendOpClass>(binding::TypeObject<SendOpClass>::get(), std::move(state));
}

const RecvOpState* recv_op_state(PyObject* object) { return state_of<RecvOpClass>(object); }
const SendOpState* send_op_state(PyObject* object) { return state_of<SendOpClass>(object); }

}  // namespace torvan::channel
