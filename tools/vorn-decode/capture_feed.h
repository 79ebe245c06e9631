// The capture fed to the connector from the connector's own receive thread: whenever the
// connector finds the card empty, the card calls Refill(), which reads the next frames of the
// capture, counts them and puts the feed's frames on the card. Reading, decoding and writing
// rows so run one after another on one thread, with no producer to wait for or to wake.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "capture_reader.h"
#include "capture_tally.h"
#include "private_connector.h"
#include "progress_line.h"

namespace vorn_decode {

class CaptureFeed {
public:
    // Reads `reader` into `connector`, counting in `tally`; all three stay owned by the caller
    // and must outlive the connector's thread. `cancel` (a user's interrupt) ends the feed.
    CaptureFeed(vorn_tools::CaptureReader& reader, PrivateConnector& connector, CaptureTally& tally, bool progress,
                const std::atomic<bool>& cancel);

    // For PrivateConnector::FeedFromReceiveThread: `context` is the CaptureFeed.
    static void RefillHook(void* context);
    // Lets Refill() put frames from now on (before, the connector is still starting).
    void Begin() { feeding_.store(true, std::memory_order_release); }
    // Waits until the capture has been read to its end or to `cancel`, or the connector has
    // stopped on its own.
    void WaitUntilRead();
    // The same for at most `most`: true once the capture is read or the connector stopped
    // (a caller that must look at something else in between, such as a pending interrupt).
    bool WaitUntilRead(std::chrono::milliseconds most);
    // Ends the progress line; false (with the reason on standard error) when the capture was
    // damaged. Call once the connector's thread has ended.
    bool Finish();
    // The capture time (ns since the epoch) of the frame the connector took last: in a
    // callback, the frame that delivered the update. Call on the connector's thread.
    uint64_t DeliveringFrameNs() const;

private:
    void Refill();
    // Reads frames until one is put or the capture ends; false at its end (or a put refused).
    bool PutNextFrame();
    void EndReading(vorn_tools::CaptureReader::Result result);

    vorn_tools::CaptureReader& reader_;
    PrivateConnector& connector_;
    CaptureTally& tally_;
    const std::atomic<bool>& cancel_;
    vorn_tools::ProgressLine line_;
    vorn_tools::CaptureReader::Result last_ = vorn_tools::CaptureReader::kEnd;
    // Capture times of the frames put, by put number: a refill puts at most a ring's worth of
    // frames, and only on an empty card, so the frame being processed is among them.
    static constexpr size_t kPutTimes = 128;
    uint64_t putTimes_[kPutTimes] = {};
    uint64_t puts_ = 0;
    std::atomic<bool> feeding_{false};
    std::atomic<bool> read_{false};
    std::mutex mutex_;
    std::condition_variable readCondition_;
};

} // namespace vorn_decode
