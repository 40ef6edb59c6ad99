#include "atomic/ordering.hpp"

#include <string>

#include "core/failure.hpp"
#include "binding/py_error.hpp"

namespace torvan::atomic {

Ordering parse_ordering_name(std::string_view text) {
    if (text.size() == 7) {
        if (text == "relaxed" || text == "Relaxed") return Ordering::Relaxed;
        if (text == "release" || text == "Release") return Ordering::Release;
        if (text == "acquire" || text == "Acquire") return Ordering::Acquire;
        if (text == "acq_rel") return Ordering::AcqRel;
        if (text == "seq_cst") return Ordering::SeqCst;
    } else if (text.size() == 6) {
        if (text == "AcqRel") return Ordering::AcqRel;
        if (text == "SeqCst") return Ordering::SeqCst;
    }
    binding::raise(PyExc_ValueError, "Unsupported memory ordering: " + std::string(text));
}

void fail_load_order(Ordering ordering) {
    if (ordering == Ordering::Release) {
        fail("there is no such thing as a release load");
    }
    fail("there is no such thing as an acquire-release load");
}

void fail_store_order(Ordering ordering) {
    if (ordering == Ordering::Acquire) {
        fail("there is no such thing as an acquire store");
    }
    fail("there is no such thing as an acquire-release store");
}

}  // namespace torvan::atomic
