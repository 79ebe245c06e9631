#include "demo_app.h"

#include <signal.h>
#include <unistd.h>

#include <cstring>

#include "VornCffexMd_interface.h"
// Only for the latency measurement: the simulated card stamps each frame with the time it was
// put. An application on a real card would use the card's hardware receive timestamps.
#include "vorn_sim_card.h"

namespace vorn_demo {

namespace {
DemoApp* g_app = nullptr; // the callbacks are plain C functions
constexpr size_t kMaxLatencySamples = 4u << 20;
} // namespace

struct DemoCallbacks {
    static void Version1(MarketDepthUpdate*) { g_app->OnVersion1(); }
    static void Version2(VornCffexMdType* record) { g_app->OnVersion2(record); }
};

DemoApp::DemoApp(const std::vector<std::string>& watched, int latencyPort)
    : watchedIds_(watched), latencyPort_(latencyPort) {
    for (const std::string& id : watched) {
        Quote quote;
        quote.instrument_id = id;
        quotes_.push_back(quote);
    }
    latencies_.reserve(kMaxLatencySamples);
}

void DemoApp::Start(const std::string& configPath) {
    g_app = this;
    set_parse_data(DemoCallbacks::Version1);
    set_parse_data_version_2(DemoCallbacks::Version2);
    thread_ = std::thread([this, configPath] {
        result_.store(init_connector(configPath.c_str()));
        finished_.store(true);
    });
}

int DemoApp::Stop() {
    if (!thread_.joinable()) return result_.load();
    if (!finished_.load()) kill(getpid(), SIGTERM);
    thread_.join();
    return result_.load();
}

AppCounters DemoApp::Counters() const {
    AppCounters counters;
    counters.v1 = v1_.load(std::memory_order_relaxed);
    counters.v2 = v2_.load(std::memory_order_relaxed);
    counters.trusted = trusted_.load(std::memory_order_relaxed);
    return counters;
}

std::vector<Quote> DemoApp::Quotes() const {
    std::lock_guard<std::mutex> lock(quotesMutex_);
    return quotes_;
}

void DemoApp::OnVersion1() { v1_.fetch_add(1, std::memory_order_relaxed); }

void DemoApp::OnVersion2(const void* data) {
    const uint64_t putNs = vorn_sim_last_rx_put_ns(latencyPort_);
    const uint64_t nowNs = vorn_sim_now_ns();
    if (latencies_.size() < kMaxLatencySamples && putNs != 0 && nowNs >= putNs) {
        const uint64_t ns = nowNs - putNs;
        latencies_.push_back(ns > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(ns));
    }
    // The record is byte-packed: copied out whole rather than read through unaligned members.
    VornCffexMdType record;
    memcpy(&record, data, sizeof record);
    v2_.fetch_add(1, std::memory_order_relaxed);
    if (record.trust_flag == 1) trusted_.fetch_add(1, std::memory_order_relaxed);

    const size_t idLen = strnlen(record.instrument_id, sizeof record.instrument_id);
    std::lock_guard<std::mutex> lock(quotesMutex_);
    for (Quote& quote : quotes_) {
        if (quote.instrument_id.size() != idLen || memcmp(quote.instrument_id.data(), record.instrument_id, idLen) != 0)
            continue;
        quote.update_time = record.UpdateTime;
        quote.update_msec = record.update_msec;
        quote.last_price = record.last_price;
        quote.bid1_price = record.bid1_price;
        quote.ask1_price = record.ask1_price;
        quote.bid1_volume = record.bid1_volume;
        quote.ask1_volume = record.ask1_volume;
        quote.volume = record.volume;
        quote.trust_flag = record.trust_flag;
        ++quote.updates;
        break;
    }
}

} // namespace vorn_demo
