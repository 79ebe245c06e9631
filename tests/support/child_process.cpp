#include "child_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <thread>

namespace vorn_test {

pid_t Spawn(const std::vector<std::string>& argv, const std::string& stdoutPath, const std::string& stderrPath) {
    fflush(stdout);
    fflush(stderr);
    const pid_t pid = fork();
    if (pid != 0) return pid;
    const int out = open(stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0 || dup2(out, STDOUT_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0) _exit(126);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

int WaitExit(pid_t pid, std::chrono::seconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    for (pid_t done; (done = waitpid(pid, &status, WNOHANG)) != pid;) {
        if (done < 0) return -1;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool Running(pid_t pid) {
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return false;
    return info.si_pid == 0;
}

int RunForked(const std::function<int()>& body, std::chrono::seconds timeout) {
    fflush(stdout);
    fflush(stderr);
    const pid_t pid = fork();
    if (pid == 0) _exit(body());
    return pid < 0 ? -1 : WaitExit(pid, timeout);
}

void InFreshProcess(const std::function<void()>& body) {
    const auto child = [&] {
        body();
        fflush(nullptr); // the child ends with _exit: its failure messages must be out first
        return ::testing::Test::HasFailure() ? 1 : 0;
    };
    EXPECT_EQ(0, RunForked(child, std::chrono::seconds(60))) << "a check in the child failed";
}

} // namespace vorn_test
