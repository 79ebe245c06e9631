// The process-wide log: level mask, every accepted message to standard output and to a
// file created lazily on the first accepted message, both flushed at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace Vorn_R10 {

enum ELOGLEVEL : int32_t {
    LOG_ERROR = 1,
    LOG_WARNING = 2,
    LOG_INFO = 4,
    LOG_DEBUG = 8,
    LOG_DEBUG_EX = 16,
};

class CCommonLog {
public:
    // Inline: every log call site tests the level through it, traces on the data path included.
    static CCommonLog& GetInstance() {
        static CCommonLog instance;
        return instance;
    }

    CCommonLog(const CCommonLog&) = delete;
    CCommonLog& operator=(const CCommonLog&) = delete;

    void SetLogLevel(ELOGLEVEL logLevel);
    // Only the first call of the process takes effect.
    void SetLogPath(std::string& refLogPath);
    // `fmt` starts with "[%s:%d] [%s]" filled by file, line and function of the call site.
    void WriteLog(ELOGLEVEL logLevel, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

    bool IsEnabled(ELOGLEVEL logLevel) const { return Enabled(logLevel); }
    // The level test of every call site: one load of a constant-initialised mask, without the
    // first-use check of GetInstance.
    static bool Enabled(ELOGLEVEL logLevel) { return (s_logLevel.load(std::memory_order_relaxed) & logLevel) != 0; }
    // Path of the open log file; empty before the first accepted message.
    std::string GetLogFileName();

private:
    CCommonLog() = default;
    ~CCommonLog() = default;

    // Read without the mutex by every log call; atomic so that the unlocked read is defined.
    static inline std::atomic<int32_t> s_logLevel{15};
    FILE* m_logHandler = nullptr;
    std::mutex m_mutexLog;
    std::string m_log_path;
    bool m_log_flag = false;
    std::string m_log_file_name;
};

} // namespace Vorn_R10

#ifndef VORN_LOG_FILE
#define VORN_LOG_FILE __FILE_NAME__
#endif

// Logs with the call site's file, line and function; arguments are not evaluated when the
// level is masked off, so traces on the data path cost one test.
#define VORN_LOG(level, fmt, ...)                                                                                      \
    do {                                                                                                               \
        if (::Vorn_R10::CCommonLog::Enabled(level))                                                                    \
            ::Vorn_R10::CCommonLog::GetInstance().WriteLog(level, fmt, VORN_LOG_FILE, __LINE__, __func__,              \
                                                           ##__VA_ARGS__);                                             \
    } while (0)
