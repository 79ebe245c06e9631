// vorn-replay: plays an Ethernet capture (pcap or pcapng) onto a port of a simulated card, so an
// unchanged application can be run against recorded traffic.
#include <pcap/pcap.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "vorn_sim_card.h"

namespace {

struct Options {
    std::string device;
    std::string capture;
    bool create = false;
    bool pace = false;
    double speed = 1.0;
    bool overwrite = false;
    int port = 0;
};

struct Totals {
    uint64_t frames = 0;
    uint64_t bytes = 0;
    uint64_t skipped = 0; // truncated captures or frames too long for the card
    uint64_t failed = 0;  // puts the card refused
};

void Usage(FILE* out) {
    fprintf(out,
            "usage: vorn-replay --device DEV [--create] [--pace [--speed X]] [--overwrite] [--port N] CAPTURE\n"
            "  Plays every frame of CAPTURE (pcap or pcapng) onto a port of the simulated card DEV.\n"
            "  --create     create the device when it does not exist\n"
            "  --pace       keep the capture's own pacing (default: as fast as possible)\n"
            "  --speed X    with --pace, play X times faster (default 1)\n"
            "  --overwrite  card-like: a slow reader is lapped and loses frames (default: lossless)\n"
            "  --port N     card port 0 or 1 (default 0)\n");
}

bool ParseArgs(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--device" && hasValue) {
            options.device = argv[++i];
        } else if (arg == "--create") {
            options.create = true;
        } else if (arg == "--pace") {
            options.pace = true;
        } else if (arg == "--speed" && hasValue) {
            char* end = nullptr;
            options.speed = strtod(argv[++i], &end);
            if (*end != '\0' || !(options.speed > 0)) return false;
        } else if (arg == "--overwrite") {
            options.overwrite = true;
        } else if (arg == "--port" && hasValue) {
            options.port = atoi(argv[++i]);
            if (options.port < 0 || options.port >= VORN_SIM_PORTS) return false;
        } else if (arg == "-h" || arg == "--help") {
            Usage(stdout);
            exit(0);
        } else if (!arg.empty() && arg[0] != '-' && options.capture.empty()) {
            options.capture = arg;
        } else {
            return false;
        }
    }
    return !options.device.empty() && !options.capture.empty();
}

vorn_sim_card_t* OpenCard(const Options& options) {
    vorn_sim_card_t* card = vorn_sim_open(options.device.c_str());
    if (card || !options.create) return card;
    if (vorn_sim_create(options.device.c_str()) != 0) return nullptr;
    return vorn_sim_open(options.device.c_str());
}

uint64_t TimestampNs(const pcap_pkthdr& header) {
    // The capture is opened with nanosecond precision: tv_usec holds nanoseconds.
    return static_cast<uint64_t>(header.ts.tv_sec) * 1000000000ULL + static_cast<uint64_t>(header.ts.tv_usec);
}

// Sleeps until the frame's capture time, scaled by `speed`, has passed since the first frame.
void WaitForPace(uint64_t firstNs, uint64_t frameNs, double speed, std::chrono::steady_clock::time_point start) {
    if (frameNs <= firstNs) return;
    const auto offset = std::chrono::nanoseconds(static_cast<int64_t>(static_cast<double>(frameNs - firstNs) / speed));
    std::this_thread::sleep_until(start + offset);
}

int Play(pcap_t* pcap, vorn_sim_card_t* card, const Options& options, Totals& totals) {
    const vorn_sim_put_mode mode = options.overwrite ? VORN_SIM_OVERWRITE : VORN_SIM_WAIT;
    const auto start = std::chrono::steady_clock::now();
    uint64_t firstNs = 0;
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    int rc;
    while ((rc = pcap_next_ex(pcap, &header, &data)) == 1) {
        const uint64_t ns = TimestampNs(*header);
        if (totals.frames + totals.skipped + totals.failed == 0) firstNs = ns;
        if (options.pace) WaitForPace(firstNs, ns, options.speed, start);
        if (header->caplen != header->len || header->caplen > VORN_SIM_MAX_FRAME) {
            ++totals.skipped;
            continue;
        }
        if (vorn_sim_put_frame(card, options.port, data, header->caplen, mode, 0) != 0) {
            ++totals.failed;
            continue;
        }
        ++totals.frames;
        totals.bytes += header->caplen;
    }
    if (rc == PCAP_ERROR) {
        fprintf(stderr, "vorn-replay: %s: %s\n", options.capture.c_str(), pcap_geterr(pcap));
        return -1;
    }
    return 0;
}

void PrintSummary(const Totals& totals, double seconds) {
    const double rate = seconds > 0 ? static_cast<double>(totals.frames) / seconds : 0;
    const double mbps = seconds > 0 ? static_cast<double>(totals.bytes) * 8 / seconds / 1e6 : 0;
    printf("frames %llu, bytes %llu, duration %.3f s, rate %.0f frames/s (%.1f Mbit/s)",
           static_cast<unsigned long long>(totals.frames), static_cast<unsigned long long>(totals.bytes), seconds,
           rate, mbps);
    if (totals.skipped) printf(", skipped %llu", static_cast<unsigned long long>(totals.skipped));
    if (totals.failed) printf(", not put %llu", static_cast<unsigned long long>(totals.failed));
    printf("\n");
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseArgs(argc, argv, options)) {
        Usage(stderr);
        return 2;
    }
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_t* pcap =
        pcap_open_offline_with_tstamp_precision(options.capture.c_str(), PCAP_TSTAMP_PRECISION_NANO, errbuf);
    if (!pcap) {
        fprintf(stderr, "vorn-replay: %s\n", errbuf);
        return 1;
    }
    if (pcap_datalink(pcap) != DLT_EN10MB) {
        fprintf(stderr, "vorn-replay: %s is not an Ethernet capture\n", options.capture.c_str());
        pcap_close(pcap);
        return 1;
    }
    vorn_sim_card_t* card = OpenCard(options);
    if (!card) {
        fprintf(stderr, "vorn-replay: no device %s (%s)%s\n", options.device.c_str(), vorn_sim_last_error(),
                options.create ? "" : "; --create makes one");
        pcap_close(pcap);
        return 1;
    }
    Totals totals;
    const auto start = std::chrono::steady_clock::now();
    const int result = Play(pcap, card, options, totals);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    PrintSummary(totals, seconds);
    vorn_sim_close(card);
    pcap_close(pcap);
    return result == 0 && totals.failed == 0 ? 0 : 1;
}
