#include "progress_line.h"

#include <unistd.h>

#include <cstdio>
#include <ctime>

namespace vorn_tools {

ProgressLine::ProgressLine(bool enabled)
    : enabled_(enabled && isatty(STDERR_FILENO)), start_(std::chrono::steady_clock::now()), lastDraw_(start_) {}

void ProgressLine::Draw(uint64_t frames, uint64_t fileBytesRead, uint64_t fileBytes, uint64_t captureNs, bool force) {
    if (!enabled_) return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - lastDraw_ < std::chrono::milliseconds(250)) return;
    lastDraw_ = now;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double percent = fileBytes ? 100.0 * static_cast<double>(fileBytesRead) / static_cast<double>(fileBytes) : 0;
    char when[40] = "-";
    if (captureNs) FormatCaptureTime(captureNs, when, sizeof when);
    fprintf(stderr, "\r%llu frames  %5.1f%%  %.0f frames/s  at %s ", static_cast<unsigned long long>(frames), percent,
            seconds > 0 ? static_cast<double>(frames) / seconds : 0.0, when);
    fflush(stderr);
    drawn_ = true;
}

void ProgressLine::Finish(uint64_t frames, const CaptureReader& reader, uint64_t captureNs) {
    if (!enabled_) return;
    Draw(frames, reader.Position(), reader.FileBytes(), captureNs, true);
    if (drawn_) fputc('\n', stderr);
}

void FormatCaptureTime(uint64_t ns, char* out, size_t size) {
    const time_t seconds = static_cast<time_t>(ns / 1000000000ULL);
    struct tm local {};
    localtime_r(&seconds, &local);
    snprintf(out, size, "%04d-%02d-%02d %02d:%02d:%02d.%03u", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
             local.tm_hour, local.tm_min, local.tm_sec, static_cast<unsigned>(ns / 1000000ULL % 1000));
}

} // namespace vorn_tools
