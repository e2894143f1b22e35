// Hardware faults become runtime errors: the handler runs on an alternate stack,
// formats the report with no allocation and no stdio, writes it where console
// output goes and ends the process with the error's number.
#include <errno.h>
#include <signal.h>
#include <string.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstdint>

#include "foundation/frame.hpp"
#include "foundation/platform/console_out.hpp"
#include "foundation/stack_guard.hpp"

namespace kro::rt_error {

namespace {

int32_t number_for(int sig, const siginfo_t* info) {
    switch (sig) {
        case SIGSEGV: {
            auto a = reinterpret_cast<uintptr_t>(info->si_addr);
            // A fault in the no-access zone below the runtime stack (or just past
            // it, for a frame wider than the zone) is that stack running out.
            if (machine_stack::stack_low && a < machine_stack::stack_low &&
                a + machine_stack::GUARD_PAGES >= machine_stack::guard_low)
                return 19;
            return 1;
        }
        case SIGBUS: return info->si_code == BUS_ADRALN ? 2 : 16;
        case SIGFPE:
            switch (info->si_code) {
                case FPE_INTDIV: return 13;
                case FPE_INTOVF: return 14;
                case FPE_FLTDIV: return 7;
                case FPE_FLTOVF: return 10;
                case FPE_FLTUND: return 12;
                case FPE_FLTRES: return 8;
                case FPE_FLTINV: return 9;
                case FPE_FLTSUB: return 5;
                default: return 99;
            }
        case SIGILL: return (info->si_code == ILL_PRVOPC || info->si_code == ILL_PRVREG) ? 15 : 17;
        case SIGTRAP: return info->si_code == TRAP_TRACE ? 4 : 3;
        default: return 99;  // SIGABRT (abort, std::terminate) and anything unmapped
    }
}

size_t put(char* buf, size_t n, const char* s) {
    while (*s) buf[n++] = *s++;
    return n;
}

void handler(int sig, siginfo_t* info, void* uctx) {
    run_exit_hooks();
    int32_t number = number_for(sig, info);
    uintptr_t pc = 0;
    if (uctx) {
        auto* uc = static_cast<ucontext_t*>(uctx);
        pc = uintptr_t(uc->uc_mcontext.gregs[REG_RIP]);
        runtime_context.exception_site[0] = uintptr_t(uc->uc_mcontext.gregs[REG_RSP]);
        runtime_context.exception_site[1] = uintptr_t(uc->uc_mcontext.gregs[REG_RBP]);
    }
    uint32_t addr = code_address(pc);
    char buf[160];
    size_t n = 0;
    n = put(buf, n, "\n*** Runtime Error ");
    char digits[12];
    int d = 0;
    int32_t v = number;
    do digits[d++] = char('0' + v % 10); while ((v /= 10) > 0);
    while (d) buf[n++] = digits[--d];
    n = put(buf, n, ": ");
    n = put(buf, n, message(number));
    n = put(buf, n, "\n*** at: ");
    static const char hex[] = "0123456789ABCDEF";
    for (int i = 7; i >= 0; i--) buf[n++] = hex[(addr >> (i * 4)) & 15];
    n = put(buf, n, "h\n");
    const char* p = buf;
    while (n) {
        ssize_t w = ::write(console::output_fd(), p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) break;
        p += w;
        n -= size_t(w);
    }
    ::_exit(number);
}

}  // namespace

namespace {
// This thread's alternate stack and the one it replaced (restored before the
// thread ends, so that whoever set the old one can still release it).
constexpr size_t ALT_STACK = 64 * 1024;
thread_local char* alt_stack = nullptr;
thread_local stack_t replaced{};
}  // namespace

void install_signal_handlers() {
    if (!alt_stack) {
        alt_stack = new char[ALT_STACK];
        stack_t ss{};
        ss.ss_sp = alt_stack;
        ss.ss_size = ALT_STACK;
        if (::sigaltstack(&ss, &replaced) != 0) replaced.ss_flags = SS_DISABLE;
    }
    struct sigaction sa;
    ::memset(&sa, 0, sizeof sa);
    sa.sa_sigaction = &handler;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT}) ::sigaction(sig, &sa, nullptr);
}

void release_signal_stack() {
    if (!alt_stack) return;
    ::sigaltstack(&replaced, nullptr);
    delete[] alt_stack;
    alt_stack = nullptr;
}

}  // namespace kro::rt_error
