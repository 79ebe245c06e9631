// A minimal C++ application of libvorn_r10: the connector runs on its own thread, the callbacks
// keep the latest best bid/ask per instrument, and the main thread prints them once a second
// until Ctrl-C. SIGINT also stops the connector's receive loop. The table goes to standard
// error: the library echoes its log lines on standard output.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "VornCffexMd_interface.h"

namespace {

struct Best {
    double bid = 0, ask = 0;
    int bidVolume = 0, askVolume = 0;
    bool trusted = false;
};

std::mutex g_mutex;
std::map<std::string, Best> g_books;
std::atomic<long> g_updates{0};

void OnUpdate(MarketDepthUpdate* update) {
    const std::string id(reinterpret_cast<const char*>(update->InstrumentID),
                         strnlen(reinterpret_cast<const char*>(update->InstrumentID), sizeof update->InstrumentID));
    std::lock_guard<std::mutex> lock(g_mutex);
    g_books[id] = {update->BidPrice1, update->AskPrice1, update->BidVolume1, update->AskVolume1,
                   update->Trust_flag == 1};
    ++g_updates;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: " << argv[0] << " CONFIG.ini\n";
        return 2;
    }
    set_parse_data(OnUpdate);
    std::atomic<bool> done{false};
    int result = 0;
    std::thread connector([&] {
        result = init_connector(argv[1]);
        done = true;
    });
    while (!done) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        std::lock_guard<std::mutex> lock(g_mutex);
        std::cerr << g_updates << " updates\n";
        for (const auto& [id, best] : g_books)
            std::cerr << "  " << id << "  " << best.bid << " x " << best.bidVolume << "  /  " << best.ask << " x "
                      << best.askVolume << (best.trusted ? "" : "  (not trusted)") << "\n";
    }
    connector.join();
    return result == 0 ? 0 : 1;
}
