// Runs the connector the way an application does (init_connector on its own thread) against
// a simulated card, and collects what the callbacks deliver.
#pragma once

#include <atomic>
#include <chrono>
#include <initializer_list>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "VornCffexMd_interface.h"
#include "counters_reader.h"
#include "snapshot_writer.h"
#include "synthetic_session.h"
#include "test_files.h"
#include "vorn_sim_card.h"

namespace vorn_test {

// One delivery as the application saw it: which callback, and a copy of its record.
struct Delivery {
    int version; // 1 or 2
    MarketDepthUpdate v1;
    VornCffexMdType v2;
};

// Everything the callbacks received, in call order.
std::vector<Delivery>& Deliveries();
std::vector<VornCffexMdType> V2Records();
// Which callbacks the next Start() registers.
void RegisterCallbacks(bool v1, bool v2);

class ConnectorRun {
public:
    // Creates a simulated device with a unique name and a temporary directory holding the
    // configuration file (section config, the given keys; device and log_path filled in
    // unless given) and the log.
    explicit ConnectorRun(std::map<std::string, std::string> config = {});
    // {{"key", "value"}, ...}: also for a single key, which would otherwise be ambiguous.
    ConnectorRun(std::initializer_list<std::pair<const std::string, std::string>> config)
        : ConnectorRun(std::map<std::string, std::string>(config)) {}
    ~ConnectorRun();
    ConnectorRun(const ConnectorRun&) = delete;
    ConnectorRun& operator=(const ConnectorRun&) = delete;

    const std::string& Device() const { return device_; }
    const std::string& Dir() const { return dir_; }
    const std::string& ConfigPath() const { return configPath_; }
    vorn_sim_card_t* Card() const { return card_; }

    // Starts init_connector on its own thread and waits until start-up finished: returns 0
    // once the last start-up register write is seen, or init_connector's result when it
    // returned (start-up failed). Standard output of the whole run is captured.
    int Start(std::chrono::seconds timeout = std::chrono::seconds(20));
    // Raises SIGTERM, joins and ends the capture of standard output; returns init_connector's result.
    int Stop();

    // Puts a frame on a port of the card, waiting for room (lossless).
    void Put(int port, const std::vector<uint8_t>& frame);
    // Returns once every frame put so far has been taken and fully processed: a frame that
    // the connector ignores silently is put behind them and waited for.
    bool Drain(std::chrono::seconds timeout = std::chrono::seconds(20));

    // Standard output captured from Start to Stop (stops the run if it is still going).
    std::string Stdout();
    // The log file's text (empty when none was created).
    std::string LogText() const;
    // Register writes logged by the connector, in order: (register, value).
    std::vector<std::pair<uint32_t, uint32_t>> RegisterWrites() const;

private:
    std::vector<uint8_t> BarrierFrame(int port) const;

    std::string device_;
    TempDir tempDir_;
    std::string dir_;
    std::string configPath_;
    vorn_sim_card_t* card_ = nullptr;
    std::thread thread_;
    std::atomic<bool>* done_ = nullptr;
    int result_ = 0;
    bool running_ = false;
    bool capturing_ = false;
    std::string stdout_;
    bool hardwareMode_ = false;
};

// The synthetic session's first two instruments, IF2612 and IH2612.
constexpr int32_t kIF = 1001, kIH = 1002;
// A synthetic session's configuration whose snapshot covers sequence numbers up to 100.
vorn_sim::SessionConfig SessionAfter100(bool encrypted = false);
// A packet of instrument `key` at 09:30:00 whose best bid volume is `tag`.
std::vector<uint8_t> Tagged(uint32_t seqno, int32_t key, int64_t tag);

// Polls `done` until it holds (true) or `timeout` passed (false).
bool WaitFor(const std::function<bool()>& done, std::chrono::seconds timeout = std::chrono::seconds(20));

// The live counters of a run that kept the default counters_path (its folder): a failed
// check when they cannot be read.
Vorn_R10::SCountersSnapshot ReadCounters(const ConnectorRun& run);

} // namespace vorn_test
