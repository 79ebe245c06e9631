// The exchange side of the demo: today's snapshot under the shared lock, the configuration
// file, and a producer that plays a synthetic session onto the simulated card with some
// reordering and loss injected on purpose.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "synthetic_session.h"
#include "vorn_sim_card.h"

namespace vorn_demo {

// The cross-process lock every writer of today's snapshot takes (the tests take it too), so
// the demo never swaps the file under a running test.
class SnapshotLock {
public:
    ~SnapshotLock() { Release(); }
    // Blocks until the lock is held; tells `screen` when it has to wait. False on error.
    bool Acquire(FILE* screen);
    void Release();

private:
    int fd_ = -1;
};

// Writes the INI file into `dir`: the device, the log in `dir` at errors, warnings and info,
// and the transport ("card" or "socket").
std::string WriteConfig(const std::string& dir, const std::string& device, const std::string& transport = "card");

// A UDP port of 127.0.0.1 free right now (0 when none could be found).
uint16_t FreeLoopbackPort();

struct FeedPlan {
    double seconds = 10;
    int packetsPerSecond = 5000;
    double lossRate = 0.001;    // share of packets never sent
    double reorderRate = 0.005; // share of packets sent after their successor (software mode)
    bool hardware = false;      // deliver through the firmware stand-in on channel 1
    uint16_t udpPort = 0;       // software mode: send each payload from and to 127.0.0.1:udpPort instead
};

struct FeedStats {
    std::atomic<uint64_t> sent{0};      // packets sent to the card (or to the firmware)
    std::atomic<uint64_t> dropped{0};   // packets lost on purpose
    std::atomic<uint64_t> reordered{0}; // packets swapped with their successor
    std::atomic<uint64_t> events{0};    // lost-message events put on channel 0 (hardware mode)
    std::atomic<bool> failed{false};    // the card refused a frame
};

// Plays `session` onto `device` for plan.seconds at plan.packetsPerSecond or until `stop`.
// The last packets are sent unharmed, so every gap ends before the session does.
void PlayFeed(const std::string& device, vorn_sim::SyntheticSession& session, const FeedPlan& plan,
              const std::atomic<bool>& stop, FeedStats& stats);

// True once the reader has taken every frame put on the ports in use.
bool WaitDrained(vorn_sim_card_t* card, bool hardware, double timeoutSeconds);
// True once the connector whose counters file is `countersPath` has received `datagrams`.
bool WaitReceived(const std::string& countersPath, uint64_t datagrams, double timeoutSeconds);

// True when the demo was built with the firmware stand-in for its hardware-mode run.
bool HardwareModeAvailable();

} // namespace vorn_demo
