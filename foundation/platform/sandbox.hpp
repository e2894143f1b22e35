// The fuzzing builds' sandbox. Random programs run by the evaluator's fuzz
// target must not reach the machine, whatever words they dig out, so the
// switch sits where the system is called: with KRO_FUZZ_SANDBOX defined, the
// calls behind files, directories, processes, the network, the clipboard, the
// terminal and standard input fail at their entry as if access were denied.
// Other builds compile the same code without the checks.
#pragma once
#include <cerrno>

#ifdef KRO_FUZZ_SANDBOX
#define KRO_SANDBOX_DENY(...)   \
    do {                        \
        errno = EACCES;         \
        return __VA_ARGS__;     \
    } while (0)
#else
#define KRO_SANDBOX_DENY(...) \
    do {                      \
    } while (0)
#endif
