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
std::string Logged(int level, const char* fmt = "[%s:%d] [%s] x", Args... args) {
    testing::internal::CaptureStdout();
    if constexpr (sizeof...(args) == 0) CCommonLog::GetInstance().WriteLog(static_cast<ELOGLEVEL>(level), fmt, "f.cpp", 1, "F");
    else CCommonLog::GetInstance().WriteLog(static_cast<ELOGLEVEL>(level), fmt, args...);
    return testing::internal::GetCapturedStdout();
}

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
        const auto atEither = [&](const std::string& text, const char* format) {
            return text == Stamp(before, format) || text == Stamp(after, format);
        };
        EXPECT_TRUE(atEither(m[1], "%Y%m%d") && atEither(m[2], "%H:%M:%S")) << out;
        EXPECT_EQ(std::to_string(static_cast<unsigned long>(pthread_self())), m[3].str());
        const std::vector<std::string> files = FilesIn(dir);
        ASSERT_EQ(1u, files.size());
        EXPECT_TRUE(atEither(files[0], "Vorn_R10_%Y%m%d_%H%M%S.log")) << files[0];

        CCommonLog::GetInstance().SetLogLevel(static_cast<ELOGLEVEL>(-1));
        std::string all = out;
        for (const auto& [level, prefix] : std::vector<std::pair<int, const char*>>{
                 {1, "\x1b[31;1m [E] ["}, {2, "\x1b[33;1m [W] ["}, {4, "\x1b[32;1m [I] ["}, {8, "\x1b[37;1m [D] ["},
                 {16, "\x1b[34;1m [X] ["}, {32, "\x1b[34;1m [N] ["}, {3, "\x1b[34;1m [N] ["}}) {
            const std::string text = Logged(level);
            EXPECT_EQ(0u, text.find(prefix)) << level << ": " << text;
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
        for (int i = 0; i < 2; ++i) EXPECT_TRUE(std::regex_match(Logged(LOG_ERROR), report));
        ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
        const std::string out = Logged(LOG_ERROR, "[%s:%d] [%s] kept", "f.cpp", 1, "F");
        ASSERT_EQ(1u, FilesIn(dir).size());
        EXPECT_EQ(out, ReadFile(dir + "/" + FilesIn(dir)[0]));
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
