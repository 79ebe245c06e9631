#include "capture_feed.h"

#include <algorithm>
#include <cstdio>

#include "udp_view.h"
#include "vorn_sim_card.h"

namespace vorn_decode {
namespace {

// Frames put per refill: few enough that the connector takes them while their bytes are still
// in this core's cache, many enough that a refill's own cost is spread thin.
constexpr int kFramesPerRefill = 64;

} // namespace

CaptureFeed::CaptureFeed(vorn_tools::CaptureReader& reader, PrivateConnector& connector, CaptureTally& tally,
                         bool progress, const std::atomic<bool>& cancel)
    : reader_(reader), connector_(connector), tally_(tally), cancel_(cancel), line_(progress) {}

void CaptureFeed::RefillHook(void* context) { static_cast<CaptureFeed*>(context)->Refill(); }

void CaptureFeed::Refill() {
    static_assert(kFramesPerRefill <= kPutTimes, "the capture times of a refill's frames are all kept");
    if (!feeding_.load(std::memory_order_acquire) || read_.load(std::memory_order_relaxed)) return;
    for (int put = 0; put < kFramesPerRefill; ++put)
        if (!PutNextFrame()) return;
}

bool CaptureFeed::PutNextFrame() {
    vorn_tools::CapturedFrame frame;
    vorn_tools::UdpView view;
    for (;;) {
        if (cancel_.load(std::memory_order_relaxed)) {
            EndReading(vorn_tools::CaptureReader::kEnd);
            return false;
        }
        const vorn_tools::CaptureReader::Result result = reader_.Next(frame);
        if (result != vorn_tools::CaptureReader::kFrame) {
            EndReading(result);
            return false;
        }
        tally_.Read(frame.ts_ns);
        line_.Update(tally_.frames_read, reader_, frame.ts_ns);
        if (frame.truncated) {
            ++tally_.truncated;
        } else if (frame.not_ethernet_form || !vorn_tools::ReadUdp(frame.data, frame.len, view)) {
            ++tally_.not_udp;
        } else if (frame.len > VORN_SIM_MAX_FRAME) {
            ++tally_.too_long;
        } else {
            tally_.Udp(view);
            if (connector_.Put(frame.data, frame.len)) {
                putTimes_[puts_++ % kPutTimes] = frame.ts_ns;
                return true;
            }
            EndReading(vorn_tools::CaptureReader::kEnd);
            return false;
        }
    }
}

void CaptureFeed::EndReading(vorn_tools::CaptureReader::Result result) {
    last_ = result;
    std::lock_guard<std::mutex> lock(mutex_);
    read_.store(true, std::memory_order_release);
    readCondition_.notify_all();
}

void CaptureFeed::WaitUntilRead() {
    std::unique_lock<std::mutex> lock(mutex_);
    // Woken by the end of the capture; the connector stopping on its own is looked for a few
    // times a second.
    while (!read_.load(std::memory_order_acquire) && connector_.Running())
        readCondition_.wait_for(lock, std::chrono::milliseconds(100));
}

bool CaptureFeed::WaitUntilRead(std::chrono::milliseconds most) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto done = [this] { return read_.load(std::memory_order_acquire) || !connector_.Running(); };
    const auto deadline = std::chrono::steady_clock::now() + most;
    // As above: the connector stopping on its own is looked for a few times a second.
    for (auto now = std::chrono::steady_clock::now(); !done() && now < deadline; now = std::chrono::steady_clock::now())
        readCondition_.wait_until(lock, std::min(deadline, now + std::chrono::milliseconds(100)));
    return done();
}

uint64_t CaptureFeed::DeliveringFrameNs() const {
    const uint64_t taken = puts_ - connector_.Backlog();
    return taken ? putTimes_[(taken - 1) % kPutTimes] : 0;
}

bool CaptureFeed::Finish() {
    line_.Finish(tally_.frames_read, reader_, tally_.last_ns);
    if (cancel_.load() || last_ != vorn_tools::CaptureReader::kError) return true;
    fprintf(stderr, "vorn-decode: %s: %s\n", reader_.Error().c_str(), "the capture is damaged; stopped there");
    return false;
}

} // namespace vorn_decode
