// The non-local exits of the language as a status.
//
// `break`, `continue`, `return`, `exit` and `throw` travel inside the
// interpreter as a Flow that every evaluator function and every native returns
// and its caller checks: anything but NORMAL is returned at once, unless the
// caller is its receiver (a loop for BREAK and CONTINUE, a function call for
// RETURN and EXIT, `catch` for THROW). The thrower has already found its target
// frame, closed the frames above it and set the data-stack pointers, so no
// level in between closes frames on that path.
//
// Errors are the one C++ exception (Thrown with code::ERROR); `quit` is
// QuitRequest. Two boundaries convert between the forms: C++ code that runs
// language code without a status path (sort comparators, change handlers,
// parse actions, tokenizer callbacks) turns a non-normal Flow into Thrown
// (raise), and the evaluator turns such a Thrown back into a Flow wherever it
// calls into non-status code (shield).
#pragma once
#include <cstdint>
#include <type_traits>

#include "foundation/frame.hpp"

namespace kro {

enum class [[nodiscard]] Flow : uint32_t {
    NORMAL = 0,
    THROW = code::THROW,
    EXIT = code::EXIT,
    RETURN = code::RETURN,
    CONTINUE = code::CONTINUE,
    BREAK = code::BREAK,
};

namespace flow {

// Whether a thrown code is one of the five status codes.
inline bool is_status(uint32_t c) { return c >= code::THROW && c <= code::BREAK; }

// Status -> exception: a non-normal Flow continues as Thrown with its code.
[[noreturn]] void raise(Flow f);
inline void raise_if(Flow f) {
    if (f != Flow::NORMAL) [[unlikely]]
        raise(f);
}

// Exception -> status, for use inside a catch (const Thrown&) block: a status
// code becomes the Flow it stands for (the runtime context's code is cleared);
// any other code (errors) is thrown on unchanged.
Flow caught();

// Runs f (answering void or Flow) and converts a status that reaches it as
// Thrown back into a Flow. Costs nothing while nothing is thrown.
template <class F>
inline Flow shield(F&& f) {
    try {
        if constexpr (std::is_same_v<decltype(f()), Flow>) {
            return f();
        } else {
            f();
            return Flow::NORMAL;
        }
    } catch (const Thrown&) {
        return caught();
    }
}

}  // namespace flow
}  // namespace kro
