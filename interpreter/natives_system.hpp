// The system natives (interpreter/natives_system.cpp): time, waiting, the
// environment, processes, file names, the tokenizer, memory statistics and the
// collector. Their functions stand in the natives table; what is declared here
// are the services they reach that other modules, or tests, provide.
#pragma once
#include <cstddef>
#include <string>

#include "foundation/cell.hpp"

namespace kro::natives::system_hooks {

// One pass over the text UI's pending events, without waiting, run by `wait`
// after its sleep; it may change the result cell (none on entry). Installed by
// the text UI; null while there is none.
extern void (*poll_events)(Cell* result);

// Starts the desktop's opener on a local file name or an encoded URL without
// waiting for it; answers its process id or -1. `browse` goes through here (by
// default platform::call::browse), so that tests need not open anything.
extern int (*open_in_desktop)(const std::string& target);

// The most bytes `call` keeps of the output or the error it captures into a
// string or a binary; a child that writes more makes the call fail. Tests
// lower it.
extern size_t call_capture_limit;

}  // namespace kro::natives::system_hooks
