// Child processes for the tool tests: a tool run with its output in files, or a function run
// in a forked copy of the test (one connector per process), each bounded in time.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace vorn_test {

// Starts `argv` with standard output and error written to the given files.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& stdoutPath, const std::string& stderrPath);
// Waits for the process; kills it when it outlives `timeout`. The exit code, or -1 when it
// was killed or died of a signal.
int WaitExit(pid_t pid, std::chrono::seconds timeout);
// True while the process runs.
bool Running(pid_t pid);
// Runs `body` in a forked child; its result is the child's exit code.
int RunForked(const std::function<int()>& body, std::chrono::seconds timeout);

} // namespace vorn_test
