// The log is a process singleton whose path can be set once, so every case runs its body in a
// forked child.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
// GCC 12 reports a false maybe-uninitialized inside <regex> when built with the sanitizers.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#include <string>
#include <vector>

#include "CommonLog.h"
#include "child_process.h"
#include "test_files.h"

using namespace Vorn_R10;
using namespace vorn_test;

namespace {

void SetPath(std::string path) { CCommonLog::GetInstance().SetLogPath(path); }

std::string Stamp(time_t t, const char* format) {
    struct tm local {};
    localtime_r(&t, &local);
    char text[32];
    strftime(text, sizeof text, format, &local);
    return text;
}

// Logs at `level` and returns what went to standard output.
template <typename... Args>
std::string Logged(int level, const char* fmt, Args... args) {
    testing::internal::CaptureStdout();
    CCommonLog::GetInstance().WriteLog(static_cast<ELOGLEVEL>(level), fmt, args...);
    return testing::internal::GetCapturedStdout();
}

std::string Logged(int level) { return Logged(level, "[%s:%d] [%s] x", "f.cpp", 1, "F"); }

// One line per message on standard output and, identically, in the file named by its time,
// created with the first message; tag and colour per level; a message's own newline is kept.
TEST(CommonLog, LineFormatFileNameAndLazyCreation) {
    const TempDir temp, other;
    InFreshProcess([&] {
        const std::string dir = temp.Path();
        SetPath(dir);
        SetPath(other.Path()); // ignored: the path is set once
        const time_t before = time(nullptr);
        const std::string out =
            Logged(LOG_DEBUG, "[%s:%d] [%s] device[%s]", "VornCffexMdApiImpl.cpp", 37, "_ReadConfig", "exanic0");
        const time_t after = time(nullptr);
        const std::regex line("\x1b\\[37;1m \\[D\\] \\[(\\d{8})\\]\\[(\\d\\d:\\d\\d:\\d\\d)\\]\\[(\\d+)\\] "
                              "\\[VornCffexMdApiImpl\\.cpp:37\\] \\[_ReadConfig\\] device\\[exanic0\\]\x1b\\[0m \n");
        std::smatch m;
        ASSERT_TRUE(std::regex_match(out, m, line)) << out;
        EXPECT_TRUE(m[1] == Stamp(before, "%Y%m%d") || m[1] == Stamp(after, "%Y%m%d"));
        EXPECT_TRUE(m[2] == Stamp(before, "%H:%M:%S") || m[2] == Stamp(after, "%H:%M:%S"));
        EXPECT_EQ(std::to_string(static_cast<unsigned long>(pthread_self())), m[3].str());
        const std::vector<std::string> files = FilesIn(dir);
        ASSERT_EQ(1u, files.size());
        EXPECT_TRUE(files[0] == Stamp(before, "Vorn_R10_%Y%m%d_%H%M%S.log") ||
                    files[0] == Stamp(after, "Vorn_R10_%Y%m%d_%H%M%S.log")) << files[0];

        CCommonLog::GetInstance().SetLogLevel(static_cast<ELOGLEVEL>(-1));
        std::string all = out;
        const std::pair<int, const char*> prefixes[] = {{1, "\x1b[31;1m [E] ["}, {2, "\x1b[33;1m [W] ["},
                                                        {4, "\x1b[32;1m [I] ["}, {8, "\x1b[37;1m [D] ["},
                                                        {16, "\x1b[34;1m [X] ["}, {32, "\x1b[34;1m [N] ["},
                                                        {3, "\x1b[34;1m [N] ["}};
        for (const auto& prefix : prefixes) {
            const std::string text = Logged(prefix.first);
            EXPECT_EQ(0u, text.find(prefix.second)) << prefix.first << ": " << text;
            all += text;
        }
        const std::string withBreak = Logged(LOG_INFO, "[%s:%d] [%s] set CPU[%d] affinity successful\n", "f.cpp", 1, "F", 0);
        const std::string tail = "affinity successful\n\x1b[0m \n";
        EXPECT_EQ(withBreak.size() - tail.size(), withBreak.rfind(tail)) << withBreak;
        EXPECT_EQ(files, FilesIn(dir)); // later messages append to the same file
        EXPECT_EQ(all + withBreak, ReadFile(dir + "/" + files[0]));
    });
}

// A directory that cannot take the file: each message reports the failed open and is lost
// until the directory exists. An empty path is the current directory.
TEST(CommonLog, UnwritableDirectoryReportsEachMessageAndRetries) {
    const TempDir temp, cwd;
    InFreshProcess([&] {
        const std::string dir = temp.File("missing");
        SetPath(dir);
        const std::regex report("fopen: " + dir + "/Vorn_R10_\\d{8}_\\d{6}\\.log failed\n");
        for (int i = 0; i < 2; ++i) {
            const std::string out = Logged(LOG_ERROR, "[%s:%d] [%s] lost %d", "f.cpp", 1, "F", i);
            EXPECT_TRUE(std::regex_match(out, report)) << out;
        }
        ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
        const std::string out = Logged(LOG_ERROR, "[%s:%d] [%s] kept", "f.cpp", 1, "F");
        const std::vector<std::string> files = FilesIn(dir);
        ASSERT_EQ(1u, files.size());
        EXPECT_EQ(out, ReadFile(dir + "/" + files[0]));
    });
    InFreshProcess([&] {
        ASSERT_EQ(0, chdir(cwd.Path().c_str()));
        SetPath("");
        Logged(LOG_ERROR);
        ASSERT_EQ(1u, FilesIn(".").size());
        EXPECT_EQ(1u, LinesWith(ReadFile(FilesIn(".")[0]), "] x").size());
    });
}

} // namespace
