#pragma once
// The native failure: an internal error of the module (a broken invariant, a
// misused native component, a failed lower layer). It is a plain C++
// exception so that pure native code can raise it; the boundary wrapper turns
// it into PanicException instead of letting it end the process.

#include <exception>
#include <string>
#include <utility>

namespace torvan {

class NativeFailure : public std::exception {
public:
    explicit NativeFailure(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

[[noreturn]] inline void fail(std::string message) { throw NativeFailure(std::move(message)); }

// Checks an internal invariant; a breach is a native failure, never undefined behaviour.
inline void check(bool condition, const char* message) {
    if (!condition) {
        fail(message);
    }
}

}  // namespace torvan
