// Child processes for tests of the tools: a program run with its output in files, bounded in time.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace vorn_test {

// Starts `argv` with standard output and error written to the given files; returns its pid.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& stdoutPath, const std::string& stderrPath);
// Waits for the process, killing it when it outlives `timeout`. Its exit code, or -1 when it
// was killed or died of a signal.
int WaitExit(pid_t pid, std::chrono::seconds timeout);
// True while the process runs (an ended child is left for WaitExit).
bool Running(pid_t pid);
// Runs `body` in a forked copy of the test (one connector per process); the child's exit code,
// or -1 when it outlived `timeout`.
int RunForked(const std::function<int()>& body, std::chrono::seconds timeout);
// Runs `body` in a forked copy of the test (for process-wide state set once, like the log path
// or signal handlers); the test fails when a check in the child failed or the child did not end.
void InFreshProcess(const std::function<void()>& body);

} // namespace vorn_test
