// Keeps the process log out of the working directory (tests that link vorn_core).
#pragma once

#include "CommonLog.h"
#include "snapshot_test_util.h"

namespace snapshot_test {

// The log path takes effect once per process, so one directory serves every test of it.
inline void LogToPrivateDir() {
    static TempDir logDir;
    std::string path = logDir.Path();
    Vorn_R10::CCommonLog::GetInstance().SetLogPath(path);
}

} // namespace snapshot_test
