// Process-wide exit flag, raised by SIGINT or SIGTERM once InitSignal has run.
#pragma once

#include <atomic>

namespace Vorn_R10 {

class CSignalProcess {
public:
    static_assert(std::atomic<bool>::is_always_lock_free, "the flag is set from a signal handler");
    static std::atomic<bool> m_isExit;

    // Installs handlers for SIGINT and SIGTERM; a handler the application installed before
    // is chained to. Safe to call more than once.
    static void InitSignal();
    static void SignalHandler(int sig);
};

} // namespace Vorn_R10
