// The application side of the demo: what a trading application does with the library. It
// registers the two callbacks, runs init_connector on its own thread and keeps the latest
// quote of a few instruments, counters and the put-to-callback latency of every update.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vorn_demo {

struct Quote {
    std::string instrument_id;
    int64_t update_time = 0; // seconds of the day
    int32_t update_msec = 0;
    int64_t last_price = 0; // thousandths
    int64_t bid1_price = 0;
    int64_t ask1_price = 0;
    int32_t bid1_volume = 0;
    int32_t ask1_volume = 0;
    int32_t volume = 0;
    int64_t trust_flag = 0;
    uint64_t updates = 0;
};

struct AppCounters {
    uint64_t v1 = 0;
    uint64_t v2 = 0;
    uint64_t trusted = 0; // version-2 updates with trust_flag 1
};

class DemoApp {
public:
    // `watched`: instrument codes the ticker shows; `latencyPort`: the card port whose frames
    // carry the updates (0 in software mode, 1 in hardware mode).
    DemoApp(const std::vector<std::string>& watched, int latencyPort);

    // Registers the callbacks and starts init_connector(configPath) on its own thread.
    void Start(const std::string& configPath);
    bool Finished() const { return finished_.load(); }
    // Raises SIGTERM (the connector's stop signal) and waits for init_connector to return;
    // returns its result.
    int Stop();
    int Result() const { return result_.load(); }

    AppCounters Counters() const;
    std::vector<Quote> Quotes() const;
    // Put-to-callback latencies in nanoseconds, complete once Stop() returned.
    const std::vector<uint32_t>& Latencies() const { return latencies_; }

private:
    friend struct DemoCallbacks;
    void OnVersion1();
    void OnVersion2(const void* record);

    std::vector<std::string> watchedIds_;
    int latencyPort_;
    std::thread thread_;
    std::atomic<bool> finished_{false};
    std::atomic<int> result_{0};
    std::atomic<uint64_t> v1_{0}, v2_{0}, trusted_{0};
    mutable std::mutex quotesMutex_;
    std::vector<Quote> quotes_;
    std::vector<uint32_t> latencies_;
};

} // namespace vorn_demo
