// Signal chaining: InitSignal installs once per process, so each case runs in a forked child.
#include <gtest/gtest.h>
#include <signal.h>

#include "SignalProcess.h"
#include "child_process.h"

using Vorn_R10::CSignalProcess;
using vorn_test::InFreshProcess;

namespace {

volatile sig_atomic_t g_plainCalls = 0, g_infoSigno = 0, g_infoHadContext = 0;

void Install(int sig, void (*handler)(int), void (*infoHandler)(int, siginfo_t*, void*) = nullptr) {
    struct sigaction action {};
    if (infoHandler) action.sa_sigaction = infoHandler, action.sa_flags = SA_SIGINFO;
    else action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(0, sigaction(sig, &action, nullptr));
}

// Each signal raises the exit flag (cleared before the next).
void ExpectFlagRaisedBy(std::initializer_list<int> signals) {
    for (int sig : signals) {
        CSignalProcess::m_isExit.store(false);
        raise(sig);
        EXPECT_TRUE(CSignalProcess::m_isExit.load()) << sig;
    }
}

// The application's handlers (plain and SA_SIGINFO) still run, with the real siginfo; a second
// InitSignal must not chain to itself. Default and ignored dispositions are not chained (the
// default would terminate the process).
TEST(Signals, ApplicationHandlersAreChainedAndTheFlagRaised) {
    InFreshProcess([] {
        Install(SIGTERM, [](int) { g_plainCalls = g_plainCalls + 1; });
        Install(SIGINT, nullptr, [](int, siginfo_t* info, void* context) {
            g_infoSigno = info ? info->si_signo : -1;
            g_infoHadContext = context != nullptr;
        });
        CSignalProcess::InitSignal();
        CSignalProcess::InitSignal();
        EXPECT_FALSE(CSignalProcess::m_isExit.load());
        ExpectFlagRaisedBy({SIGTERM, SIGINT});
        EXPECT_EQ(std::make_tuple(1, SIGINT, 1), std::make_tuple(+g_plainCalls, +g_infoSigno, +g_infoHadContext));
    });
    InFreshProcess([] {
        Install(SIGINT, SIG_DFL);
        Install(SIGTERM, SIG_IGN);
        CSignalProcess::InitSignal();
        ExpectFlagRaisedBy({SIGINT, SIGTERM});
    });
}

} // namespace
