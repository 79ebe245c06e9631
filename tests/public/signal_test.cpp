// Signal chaining: InitSignal installs once per process, so each case runs in a forked child.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "SignalProcess.h"
#include "child_process.h"

using Vorn_R10::CSignalProcess;
using vorn_test::InFreshProcess;

namespace {

volatile sig_atomic_t g_plainCalls = 0;
volatile sig_atomic_t g_infoSigno = 0;
volatile sig_atomic_t g_infoHadContext = 0;

void Install(int sig, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(0, sigaction(sig, &action, nullptr));
}

// The application's handlers (plain and SA_SIGINFO) still run, with the real siginfo, and the
// exit flag is raised; a second InitSignal must not chain to itself.
TEST(Signals, ApplicationHandlersAreChainedAndTheFlagRaised) {
    InFreshProcess([] {
        Install(SIGTERM, [](int) { g_plainCalls = g_plainCalls + 1; });
        struct sigaction action {};
        action.sa_sigaction = [](int, siginfo_t* info, void* context) {
            g_infoSigno = info ? info->si_signo : -1;
            g_infoHadContext = context != nullptr;
        };
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        ASSERT_EQ(0, sigaction(SIGINT, &action, nullptr));
        CSignalProcess::InitSignal();
        CSignalProcess::InitSignal();
        EXPECT_FALSE(CSignalProcess::m_isExit.load());
        raise(SIGTERM);
        EXPECT_TRUE(CSignalProcess::m_isExit.load());
        EXPECT_EQ(1, g_plainCalls);
        CSignalProcess::m_isExit.store(false);
        raise(SIGINT);
        EXPECT_TRUE(CSignalProcess::m_isExit.load());
        EXPECT_EQ(SIGINT, g_infoSigno);
        EXPECT_EQ(1, g_infoHadContext);
    });
}

TEST(Signals, DefaultAndIgnoredDispositionsAreNotChained) {
    InFreshProcess([] {
        Install(SIGINT, SIG_DFL); // default would terminate the process
        Install(SIGTERM, SIG_IGN);
        CSignalProcess::InitSignal();
        raise(SIGINT);
        EXPECT_TRUE(CSignalProcess::m_isExit.load());
        CSignalProcess::m_isExit.store(false);
        raise(SIGTERM);
        EXPECT_TRUE(CSignalProcess::m_isExit.load());
    });
}

} // namespace
