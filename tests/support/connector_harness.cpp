#include "connector_harness.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>

#include "counters_files.h"
#include "feed_encoder.h"

namespace vorn_test {

namespace {

std::vector<Delivery> g_deliveries;

void OnVersion1(MarketDepthUpdate* record) { g_deliveries.push_back(Delivery{1, *record, {}}); }
void OnVersion2(VornCffexMdType* record) { g_deliveries.push_back(Delivery{2, {}, *record}); }

uint32_t g_nextDevice = 0;

} // namespace

bool WaitFor(const std::function<bool()>& done, std::chrono::seconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}


vorn_sim::SessionConfig SessionAfter100(bool encrypted) {
    vorn_sim::SessionConfig config;
    config.first_seqno = 101;
    config.encrypted = encrypted;
    return config;
}

std::vector<uint8_t> Tagged(uint32_t seqno, int32_t key, int64_t tag) {
    return vorn_sim::PacketBuilder(seqno).UpdateTime(key, 34200, 0).Best(3, tag, 4, 1).Bytes();
}

std::vector<Delivery>& Deliveries() { return g_deliveries; }

std::vector<VornCffexMdType> V2Records() {
    std::vector<VornCffexMdType> records;
    for (const Delivery& d : g_deliveries)
        if (d.version == 2) records.push_back(d.v2);
    return records;
}

void RegisterCallbacks(bool v1, bool v2) {
    set_parse_data(v1 ? OnVersion1 : nullptr);
    set_parse_data_version_2(v2 ? OnVersion2 : nullptr);
}

ConnectorRun::ConnectorRun(std::map<std::string, std::string> config) {
    device_ = "vt" + std::to_string(getpid()) + "_" + std::to_string(g_nextDevice++);
    dir_ = tempDir_.Path();
    configPath_ = dir_ + "/md.ini";
    if (vorn_sim_create(device_.c_str()) != 0) ADD_FAILURE() << vorn_sim_last_error();
    card_ = vorn_sim_open(device_.c_str());
    if (!config.count("device")) config["device"] = device_;
    if (!config.count("log_path")) config["log_path"] = dir_;
    if (!config.count("counters_path")) config["counters_path"] = dir_;
    std::string text = "[config]\n";
    for (const auto& entry : config) text += entry.first + " = " + entry.second + "\n";
    std::ofstream(configPath_, std::ios::trunc) << text;
    g_deliveries.clear();
    RegisterCallbacks(true, true);
}

ConnectorRun::~ConnectorRun() {
    Stop();
    if (card_) vorn_sim_close(card_);
    vorn_sim_remove(device_.c_str());
    delete done_;
}

int ConnectorRun::Start(std::chrono::seconds timeout) {
    testing::internal::CaptureStdout();
    capturing_ = true;
    delete done_;
    done_ = new std::atomic<bool>(false);
    std::atomic<bool>* done = done_;
    const std::string path = configPath_;
    running_ = true;
    thread_ = std::thread([this, done, path] {
        result_ = init_connector(path.c_str());
        done->store(true);
    });
    const bool finished = WaitFor(
        [&] {
            return done->load() || vorn_sim_read_reg(card_, 20) == 1 || vorn_sim_read_reg(card_, 13) == 1 ||
                   LogText().find("] transport socket: ") != std::string::npos; // no card set-up
        },
        timeout);
    if (done->load()) {
        thread_.join();
        running_ = false;
        stdout_ = testing::internal::GetCapturedStdout();
        capturing_ = false;
        return result_;
    }
    if (!finished) ADD_FAILURE() << "start-up did not finish";
    hardwareMode_ = vorn_sim_read_reg(card_, 13) == 1;
    return 0;
}

int ConnectorRun::Stop() {
    if (running_) {
        kill(getpid(), SIGTERM);
        thread_.join();
        running_ = false;
    }
    // The run is over: later output (test failures included) goes to the terminal again.
    if (capturing_) {
        stdout_ = testing::internal::GetCapturedStdout();
        capturing_ = false;
    }
    return result_;
}

std::string ConnectorRun::Stdout() {
    Stop();
    return stdout_;
}

void ConnectorRun::Put(int port, const std::vector<uint8_t>& frame) {
    if (vorn_sim_put_frame(card_, port, frame.data(), frame.size(), VORN_SIM_WAIT, 0) != 0)
        ADD_FAILURE() << "could not put a frame on port " << port;
}

// A frame the connector drops without a trace: in software mode a frame of no feed channel,
// in hardware mode a record frame too short to be one, or a channel-0 message that is no event.
std::vector<uint8_t> ConnectorRun::BarrierFrame(int port) const {
    std::vector<uint8_t> frame(port == 1 ? 10 : 60, 0);
    if (hardwareMode_ && port == 0) frame[0] = 1;
    return frame;
}

bool ConnectorRun::Drain(std::chrono::seconds timeout) {
    const std::vector<int> ports = hardwareMode_ ? std::vector<int>{1, 0} : std::vector<int>{0};
    // The barrier is taken before it is looked at: a second round ends the first one's processing.
    for (int round = 0; round < 2; ++round) {
        for (int port : ports) {
            Put(port, BarrierFrame(port));
            const auto taken = [&] {
                vorn_sim_counters counters{};
                vorn_sim_get_counters(card_, port, &counters);
                return counters.taken + counters.lost >= counters.put;
            };
            if (!WaitFor(taken, timeout)) return false;
        }
    }
    return true;
}

std::string ConnectorRun::LogText() const { return ConnectorLogIn(dir_); }

std::vector<std::pair<uint32_t, uint32_t>> ConnectorRun::RegisterWrites() const {
    std::vector<std::pair<uint32_t, uint32_t>> writes;
    for (const std::string& line : LinesWith(LogText(), "set_fpga_reg addr: ")) {
        unsigned reg = 0, value = 0;
        if (sscanf(line.c_str() + line.find("addr: "), "addr: %u, val: %u", &reg, &value) == 2)
            writes.emplace_back(reg, value);
    }
    return writes;
}

Vorn_R10::SCountersSnapshot ReadCounters(const ConnectorRun& run) {
    Vorn_R10::CCountersReader reader;
    Vorn_R10::SCountersSnapshot snapshot{};
    std::string error;
    const std::string path = Vorn_R10::CountersFilePath(run.Dir(), Vorn_R10::ProgramCountersName(), run.Device());
    EXPECT_TRUE(reader.Open(path, error) && reader.Read(snapshot, error)) << error;
    return snapshot;
}

} // namespace vorn_test
