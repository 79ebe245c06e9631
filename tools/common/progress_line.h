// A one-line progress display on a terminal (standard error), redrawn at most a few times a
// second: frames, percent of the file, frames per second and the capture time reached. Silent
// when standard error is no terminal.
#pragma once

#include <chrono>
#include <cstdint>

#include "capture_reader.h"

namespace vorn_tools {

class ProgressLine {
public:
    // `enabled` false keeps it silent even on a terminal.
    explicit ProgressLine(bool enabled);
    // Cheap on most calls: looks at the clock and the file position every 4096 frames only.
    void Update(uint64_t frames, const CaptureReader& reader, uint64_t captureNs) {
        if ((frames & 4095) == 0) Draw(frames, reader.Position(), reader.FileBytes(), captureNs, false);
    }
    // Draws the final figures and ends the line.
    void Finish(uint64_t frames, const CaptureReader& reader, uint64_t captureNs);

private:
    void Draw(uint64_t frames, uint64_t fileBytesRead, uint64_t fileBytes, uint64_t captureNs, bool force);

    bool enabled_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point lastDraw_;
};

// "YYYY-MM-DD HH:MM:SS.mmm" of a capture time in local time.
void FormatCaptureTime(uint64_t ns, char* out, size_t size);

} // namespace vorn_tools
