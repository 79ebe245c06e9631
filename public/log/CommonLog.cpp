#include "CommonLog.h"

#include <pthread.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace Vorn_R10 {

namespace {

struct LevelStyle {
    const char* colour;
    const char* tag;
};

LevelStyle StyleOf(ELOGLEVEL level) {
    switch (level) {
    case LOG_ERROR: return {"\033[31;1m", "[E]"};
    case LOG_WARNING: return {"\033[33;1m", "[W]"};
    case LOG_INFO: return {"\033[32;1m", "[I]"};
    case LOG_DEBUG: return {"\033[37;1m", "[D]"};
    case LOG_DEBUG_EX: return {"\033[34;1m", "[X]"};
    default: return {"\033[34;1m", "[N]"};
    }
}

} // namespace

void CCommonLog::SetLogLevel(ELOGLEVEL logLevel) {
    std::lock_guard<std::mutex> guard(m_mutexLog);
    s_logLevel.store(logLevel, std::memory_order_relaxed);
}

void CCommonLog::SetLogPath(std::string& refLogPath) {
    std::lock_guard<std::mutex> guard(m_mutexLog);
    if (m_log_flag) return;
    m_log_path = refLogPath;
    m_log_flag = true;
}

std::string CCommonLog::GetLogFileName() {
    std::lock_guard<std::mutex> guard(m_mutexLog);
    return m_log_file_name;
}

void CCommonLog::WriteLog(ELOGLEVEL logLevel, const char* fmt, ...) {
    if (!IsEnabled(logLevel)) return;

    const LevelStyle style = StyleOf(logLevel);
    char prefix[32];
    snprintf(prefix, sizeof prefix, "%s %s", style.colour, style.tag);

    const time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    const unsigned long thread_id = static_cast<unsigned long>(pthread_self());

    char format[2048];
    memset(format, 0, sizeof format);
    snprintf(format, sizeof format, "%s [%04d%02d%02d][%02d:%02d:%02d][%lu] %s\033[0m \n", prefix, local.tm_year + 1900,
             local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, thread_id, fmt);

    std::lock_guard<std::mutex> guard(m_mutexLog);
    if (!m_logHandler) {
        char path[1024];
        if (m_log_path.empty())
            snprintf(path, sizeof path, "Vorn_R10_%04d%02d%02d_%02d%02d%02d.log", local.tm_year + 1900,
                     local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
        else
            snprintf(path, sizeof path, "%s/Vorn_R10_%04d%02d%02d_%02d%02d%02d.log", m_log_path.c_str(),
                     local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
        m_logHandler = fopen(path, "w");
        if (!m_logHandler) {
            printf("fopen: %s failed\n", path);
            fflush(stdout);
            return;
        }
        m_log_file_name = path;
    }

    va_list args;
    va_start(args, fmt);
    va_list file_args;
    va_copy(file_args, args);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    vfprintf(stdout, format, args);
    vfprintf(m_logHandler, format, file_args);
#pragma GCC diagnostic pop
    va_end(file_args);
    va_end(args);
    fflush(stdout);
    fflush(m_logHandler);
}

} // namespace Vorn_R10
