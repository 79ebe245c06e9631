// The connector run by vorn-decode: the real library started through init_connector on a
// simulated card of its own (a unique device name), with its configuration, log and counters
// in a private directory. Everything it creates is removed again by the destructor, also
// after an interrupted run.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

#include "vorn_sim_card.h"

namespace vorn_decode {

struct ConnectorSettings {
    std::string snapshot;       // absolute path of the snapshot file
    std::string insts = "all";  // the insts key
    bool options = false;       // options = recv
    int log_level = 7;          // error, warning, info
    std::string library_output; // file for the library's standard output; empty: the private
                                // directory's, removed with it
};

class PrivateConnector {
public:
    PrivateConnector() = default;
    ~PrivateConnector();
    PrivateConnector(const PrivateConnector&) = delete;
    PrivateConnector& operator=(const PrivateConnector&) = delete;

    // Makes the private directory, its configuration file (work_mode = software, so every
    // snapshot decodes in software) and the card. False with `error`.
    bool Create(const ConnectorSettings& settings, std::string& error);
    // Hardware: the connector chose hardware mode all the same (a library that ignores work_mode).
    enum class Started { Software, Hardware, Failed };
    // Has the card call `refill(context)` on the connector's receive thread whenever the
    // connector finds it empty; `refill` puts frames with Put(). Call before Start().
    bool FeedFromReceiveThread(void (*refill)(void* context), void* context);
    // Sends the library's standard output where the settings say, starts init_connector on a
    // thread and waits for the end of its start-up.
    Started Start();
    // Puts a frame on the card; false when the card refuses it or its ring has no room for it.
    // Called by the refill hook, which finds the card empty: a refill may fill the ring.
    bool Put(const uint8_t* frame, size_t len);
    // Frames put and not yet taken by the connector.
    uint64_t Backlog() const { return vorn_sim_backlog(card_, 0); }
    // True until init_connector has returned.
    bool Running() const { return !returned_.load(); }
    // Waits until the connector has taken every frame put, stops it and restores standard
    // output. init_connector's result (-1 when start-up had failed).
    int Stop();

    const std::string& Directory() const { return dir_; }
    // Where the library's standard output goes (valid after Create()).
    std::string LibraryOutput() const;
    const std::string& Device() const { return device_; }

private:
    bool RedirectStandardOutput();
    void RestoreStandardOutput();

    ConnectorSettings settings_;
    std::string dir_;
    std::string configPath_;
    std::string device_;
    vorn_sim_card_t* card_ = nullptr;
    bool created_ = false;
    std::thread thread_;
    std::atomic<bool> returned_{false};
    std::atomic<int> result_{-1};
    int savedStdout_ = -1;
    // Slots known to be free: counted down per put and read from the card again only when
    // used up, so a put does not read the connector's position for every frame.
};

// True while the connector is being stopped by the tool itself (its own SIGTERM).
bool StoppingOnPurpose();

} // namespace vorn_decode
