#include "SignalProcess.h"

#include <signal.h>

#include <cstring>

namespace Vorn_R10 {

std::atomic<bool> CSignalProcess::m_isExit{false};

namespace {

// Dispositions found before ours, chained to from the handler.
struct sigaction g_previous[2];
std::atomic<bool> g_installed{false};

int SlotOf(int sig) { return sig == SIGINT ? 0 : 1; }

// Raises the flag, then hands the signal on to what the application installed before:
// a three-argument handler gets the real siginfo and context, default and ignore are left be.
void OnSignal(int sig, siginfo_t* info, void* context) {
    CSignalProcess::m_isExit.store(true, std::memory_order_relaxed);
    const struct sigaction& previous = g_previous[SlotOf(sig)];
    if (previous.sa_flags & SA_SIGINFO) {
        if (previous.sa_sigaction) previous.sa_sigaction(sig, info, context);
    } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN && previous.sa_handler) {
        previous.sa_handler(sig);
    }
}

void Install(int sig) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_sigaction = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_SIGINFO;
    sigaction(sig, &action, &g_previous[SlotOf(sig)]);
}

} // namespace

void CSignalProcess::InitSignal() {
    if (g_installed.exchange(true)) return;
    Install(SIGINT);
    Install(SIGTERM);
}

void CSignalProcess::SignalHandler(int sig) { OnSignal(sig, nullptr, nullptr); }

} // namespace Vorn_R10
