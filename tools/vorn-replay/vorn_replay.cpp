// vorn-replay: plays a capture (pcap or pcapng; Ethernet, Linux cooked SLL/SLL2 or raw IP) onto
// a port of a simulated card in the Ethernet form the card delivers, or sends each captured
// datagram's payload to a UDP address, so an unchanged application can be run against recorded
// traffic.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "capture_reader.h"
#include "progress_line.h"
#include "tool_version.h"
#include "udp_view.h"
#include "vorn_sim_card.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kExitOk = 0, kExitFailed = 1, kExitUsage = 2, kExitInterrupted = 130;
// How long a full card may see no frame taken before the replay gives up (without --wait).
constexpr auto kStuckReaderLimit = std::chrono::seconds(1);

struct Options {
    std::string device;
    std::string udp; // --udp HOST:PORT as given; empty: play onto the card
    sockaddr_in udpTarget{};
    std::string capture;
    bool create = false;
    bool pace = false;
    double speed = 1.0;
    double maxGapSeconds = 0; // 0: gaps kept as captured
    bool overwrite = false;
    bool wait = false;
    bool progress = true;
    int port = 0;
};

struct Totals {
    uint64_t read = 0;
    uint64_t frames = 0;
    uint64_t bytes = 0;
    uint64_t truncated = 0; // cut by the capture's snaplen
    uint64_t unusable = 0;  // no Ethernet payload, or longer than the card takes (--udp: no IPv4/UDP datagram)
    uint64_t failed = 0;    // puts the card refused, or datagrams the kernel did not send
};

std::atomic<bool> g_interrupted{false};

void OnSignal(int) { g_interrupted = true; }

void Usage(FILE* out) {
    fprintf(out, "usage: vorn-replay --device DEV [--create] [--port N] [--pace [--speed X] [--max-gap S]]\n"
                 "                   [--overwrite | --wait] [--no-progress] CAPTURE\n"
                 "       vorn-replay --udp HOST:PORT [--pace [--speed X] [--max-gap S]] [--no-progress] CAPTURE\n"
                 "  Plays every frame of CAPTURE (pcap or pcapng; Ethernet, Linux cooked SLL/SLL2 or raw IP)\n"
                 "  onto a port of the simulated card DEV, as Ethernet frames.\n"
                 "  --udp HOST:PORT  instead sends each IPv4/UDP datagram's payload to HOST (an IPv4\n"
                 "                address) and PORT through a UDP socket; other frames are skipped\n"
                 "  --create      create the device when it does not exist\n"
                 "  --port N      card port 0 or 1 (default 0)\n"
                 "  --pace        keep the capture's own pacing (default: as fast as possible)\n"
                 "  --speed X     with --pace, play X times faster (default 1)\n"
                 "  --max-gap S   with --pace, shorten every pause longer than S seconds to S\n"
                 "  --overwrite   card-like: a slow reader is lapped and loses frames (default: lossless)\n"
                 "  --wait        lossless, and when the card is full wait for a reader (with a notice);\n"
                 "                by default a full card that nobody reads for 1 s ends the replay (exit 1)\n"
                 "  --no-progress no progress line (it is shown only on a terminal anyway)\n"
                 "  A summary is printed at the end, also after SIGINT/SIGTERM (exit 130).\n");
}

bool BadArgument(const std::string& problem) {
    fprintf(stderr, "vorn-replay: %s (--help shows the usage)\n", problem.c_str());
    return false;
}

bool ParsePositive(const char* text, double& value) {
    char* end = nullptr;
    value = strtod(text, &end);
    return end != text && *end == '\0' && value > 0;
}

// "a.b.c.d:port", port 1..65535.
bool ParseUdpTarget(const std::string& text, sockaddr_in& target) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    const std::string host = text.substr(0, colon), port = text.substr(colon + 1);
    char* end = nullptr;
    const long number = strtol(port.c_str(), &end, 10);
    if (port.empty() || *end || number < 1 || number > 65535) return false;
    target = sockaddr_in{};
    target.sin_family = AF_INET;
    target.sin_port = htons(static_cast<uint16_t>(number));
    return inet_pton(AF_INET, host.c_str(), &target.sin_addr) == 1;
}

bool ParseArgs(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool takesValue =
            arg == "--device" || arg == "--speed" || arg == "--port" || arg == "--max-gap" || arg == "--udp";
        if (takesValue && i + 1 >= argc) return BadArgument("missing value after " + arg);
        const char* value = takesValue ? argv[++i] : "";
        if (arg == "-h" || arg == "--help") {
            Usage(stdout);
            exit(kExitOk);
        } else if (arg == "--version") {
            vorn_tools::PrintVersion("vorn-replay");
            exit(kExitOk);
        } else if (arg == "--device") {
            options.device = value;
        } else if (arg == "--udp") {
            options.udp = value;
            if (!ParseUdpTarget(options.udp, options.udpTarget))
                return BadArgument("--udp wants HOST:PORT with an IPv4 address and a port 1..65535, not '" +
                                   options.udp + "'");
        } else if (arg == "--create") {
            options.create = true;
        } else if (arg == "--pace") {
            options.pace = true;
        } else if (arg == "--speed") {
            if (!ParsePositive(value, options.speed))
                return BadArgument("--speed wants a number above 0, not '" + std::string(value) + "'");
        } else if (arg == "--max-gap") {
            if (!ParsePositive(value, options.maxGapSeconds))
                return BadArgument("--max-gap wants seconds above 0, not '" + std::string(value) + "'");
        } else if (arg == "--overwrite") {
            options.overwrite = true;
        } else if (arg == "--wait") {
            options.wait = true;
        } else if (arg == "--no-progress") {
            options.progress = false;
        } else if (arg == "--port") {
            char* end = nullptr;
            options.port = static_cast<int>(strtol(value, &end, 10));
            if (*value == '\0' || *end || options.port < 0 || options.port >= VORN_SIM_PORTS)
                return BadArgument("--port wants 0 or 1, not '" + std::string(value) + "'");
        } else if (!arg.empty() && arg[0] != '-' && options.capture.empty()) {
            options.capture = arg;
        } else {
            return BadArgument((arg.empty() || arg[0] != '-' ? "unexpected argument '" : "unknown option '") + arg +
                               "'");
        }
    }
    if (options.overwrite && options.wait) return BadArgument("--overwrite and --wait exclude each other");
    if (!options.udp.empty()) {
        if (!options.device.empty() || options.create || options.overwrite || options.wait || options.port != 0)
            return BadArgument("--udp excludes --device, --create, --port, --overwrite and --wait");
        return !options.capture.empty() || BadArgument("no CAPTURE given");
    }
    if (options.device.empty()) return BadArgument("no --device DEV given (or --udp HOST:PORT)");
    return !options.capture.empty() || BadArgument("no CAPTURE given");
}

vorn_sim_card_t* OpenCard(const Options& options) {
    vorn_sim_card_t* card = vorn_sim_open(options.device.c_str());
    if (card || !options.create) return card;
    if (vorn_sim_create(options.device.c_str()) != 0) return nullptr;
    return vorn_sim_open(options.device.c_str());
}

// The capture's pacing: frame times relative to the first, pauses above the limit shortened,
// scaled by the speed.
class Pacer {
public:
    Pacer(const Options& options) : options_(options) {}
    // Sleeps until the frame's place in the replay (interruptible in steps of 100 ms).
    void WaitFor(uint64_t frameNs) {
        if (!started_) {
            started_ = true;
            start_ = Clock::now();
            previousNs_ = frameNs;
        }
        uint64_t gapNs = frameNs > previousNs_ ? frameNs - previousNs_ : 0;
        const uint64_t maxGapNs = static_cast<uint64_t>(options_.maxGapSeconds * 1e9);
        if (maxGapNs && gapNs > maxGapNs) gapNs = maxGapNs;
        playedNs_ += gapNs;
        previousNs_ = frameNs;
        const auto due =
            start_ + std::chrono::nanoseconds(static_cast<int64_t>(static_cast<double>(playedNs_) / options_.speed));
        while (!g_interrupted && Clock::now() < due)
            std::this_thread::sleep_until(std::min(due, Clock::now() + std::chrono::milliseconds(100)));
    }

private:
    const Options& options_;
    bool started_ = false;
    Clock::time_point start_;
    uint64_t previousNs_ = 0;
    uint64_t playedNs_ = 0; // capture time played so far, pauses shortened
};

enum class Room { Free, Stuck, Interrupted };

// Lossless play waits here for room on the card's ring: a reader that takes no frame for 1 s
// ends the replay, unless --wait, which waits on and says so once.
Room WaitForRoom(vorn_sim_card_t* card, const Options& options, size_t len) {
    if (vorn_sim_room(card, options.port, len)) return Room::Free;
    vorn_sim_counters counters{};
    vorn_sim_get_counters(card, options.port, &counters);
    uint64_t taken = counters.taken;
    auto lastProgress = Clock::now();
    bool noticed = false;
    while (!vorn_sim_room(card, options.port, len)) {
        if (g_interrupted) return Room::Interrupted;
        vorn_sim_get_counters(card, options.port, &counters);
        if (counters.taken != taken) {
            taken = counters.taken;
            lastProgress = Clock::now();
        } else if (Clock::now() - lastProgress >= kStuckReaderLimit) {
            if (!options.wait) return Room::Stuck;
            if (!noticed)
                fprintf(stderr,
                        "\nvorn-replay: %s port %d is full and nobody reads it; waiting for a reader (Ctrl-C ends)\n",
                        options.device.c_str(), options.port);
            noticed = true;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return Room::Free;
}

// Where the frames go: the card's port, or a UDP socket sending their payloads.
struct Target {
    vorn_sim_card_t* card = nullptr;
    int socket = -1;
};

// Sends the frame's UDP payload; false (counted) when it is none or the kernel refused it.
void SendPayload(const vorn_tools::CapturedFrame& frame, const Options& options, int socket, Totals& totals) {
    vorn_tools::UdpView view;
    if (frame.not_ethernet_form || !vorn_tools::ReadUdp(frame.data, frame.len, view)) {
        ++totals.unusable;
        return;
    }
    const ssize_t sent = sendto(socket, view.payload, view.payload_len, 0,
                                reinterpret_cast<const sockaddr*>(&options.udpTarget), sizeof options.udpTarget);
    if (sent != static_cast<ssize_t>(view.payload_len)) {
        ++totals.failed;
        return;
    }
    ++totals.frames;
    totals.bytes += view.payload_len;
}

// Whether the port's reader is the card's own library (through libvorn_card_driver.so), which
// keeps its position to itself: the card cannot wait for it.
bool ReaderIsBlind(vorn_sim_card_t* card, int port) {
    vorn_sim_counters counters{};
    vorn_sim_get_counters(card, port, &counters);
    return counters.blind_readers > 0;
}

// Plays the capture; 0, or the exit code of a failure.
int Play(vorn_tools::CaptureReader& reader, const Target& target, const Options& options, Totals& totals) {
    vorn_sim_card_t* card = target.card;
    // A reader whose position the card cannot see is fed as a card is: paced, and lapped when
    // it falls a ring behind (it is told so). Unpaced, lossless play stops at a full ring.
    const bool blind = card != nullptr && ReaderIsBlind(card, options.port);
    const bool overwrite = options.overwrite || (blind && options.pace);
    if (blind && options.pace && !options.overwrite)
        fprintf(stderr, "vorn-replay: %s port %d is read through the card's own library, whose position the card "
                        "cannot see: frames are put as the card receives them\n",
                options.device.c_str(), options.port);
    const vorn_sim_put_mode mode = overwrite ? VORN_SIM_OVERWRITE : VORN_SIM_WAIT;
    Pacer pacer(options);
    vorn_tools::ProgressLine progress(options.progress);
    vorn_tools::CapturedFrame frame;
    vorn_tools::CaptureReader::Result result = vorn_tools::CaptureReader::kEnd;
    int code = kExitOk;
    while (!g_interrupted && (result = reader.Next(frame)) == vorn_tools::CaptureReader::kFrame) {
        ++totals.read;
        progress.Update(totals.read, reader, frame.ts_ns);
        if (options.pace) pacer.WaitFor(frame.ts_ns);
        if (frame.truncated) {
            ++totals.truncated;
            continue;
        }
        if (target.socket >= 0) {
            SendPayload(frame, options, target.socket, totals);
            continue;
        }
        if (frame.not_ethernet_form || frame.len > VORN_SIM_MAX_FRAME) {
            ++totals.unusable;
            continue;
        }
        if (!overwrite) {
            const Room room = WaitForRoom(card, options, frame.len);
            if (room == Room::Interrupted) break;
            if (room == Room::Stuck) {
                const char* why = ReaderIsBlind(card, options.port)
                                      ? "its reader is the card's own library, whose position the card cannot see: "
                                        "use --pace or --overwrite"
                                      : "nobody has taken a frame for 1 s: start the reader first, or use --wait, "
                                        "--pace or --overwrite";
                fprintf(stderr, "\nvorn-replay: %s port %d is full (2 MiB) and %s\n", options.device.c_str(),
                        options.port, why);
                code = kExitFailed;
                break;
            }
        }
        if (vorn_sim_put_frame(card, options.port, frame.data, frame.len, mode, 0) != 0) {
            ++totals.failed;
            continue;
        }
        ++totals.frames;
        totals.bytes += frame.len;
    }
    progress.Finish(totals.read, reader, frame.ts_ns);
    if (!g_interrupted && code == kExitOk && result == vorn_tools::CaptureReader::kError) {
        fprintf(stderr, "vorn-replay: %s: %s\n", options.capture.c_str(), reader.Error().c_str());
        code = kExitFailed;
    }
    return code;
}

void PrintSummary(const Totals& totals, double seconds, bool interrupted, bool udp) {
    const double rate = seconds > 0 ? static_cast<double>(totals.frames) / seconds : 0;
    const double mbps = seconds > 0 ? static_cast<double>(totals.bytes) * 8 / seconds / 1e6 : 0;
    printf("%s %llu, bytes %llu, duration %.3f s, rate %.0f %s/s (%.1f Mbit/s)", udp ? "datagrams" : "frames",
           static_cast<unsigned long long>(totals.frames), static_cast<unsigned long long>(totals.bytes), seconds, rate,
           udp ? "datagrams" : "frames", mbps);
    if (totals.truncated)
        printf(", skipped %llu cut by the capture's snaplen", static_cast<unsigned long long>(totals.truncated));
    if (totals.unusable)
        printf(udp ? ", skipped %llu not IPv4/UDP" : ", skipped %llu without an Ethernet payload or too long",
               static_cast<unsigned long long>(totals.unusable));
    if (totals.failed)
        printf(udp ? ", not sent %llu" : ", not put %llu", static_cast<unsigned long long>(totals.failed));
    if (interrupted) printf(", interrupted after %llu frames read", static_cast<unsigned long long>(totals.read));
    printf("\n");
    fflush(stdout);
}

void InstallSignalHandlers() {
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseArgs(argc, argv, options)) return kExitUsage;
    vorn_tools::CaptureReader reader;
    if (!reader.Open(options.capture)) {
        fprintf(stderr, "vorn-replay: %s\n", reader.Error().c_str());
        return kExitFailed;
    }
    Target target;
    if (!options.udp.empty()) {
        target.socket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (target.socket < 0) {
            fprintf(stderr, "vorn-replay: cannot open a UDP socket: %s\n", strerror(errno));
            return kExitFailed;
        }
    } else if (!(target.card = OpenCard(options))) {
        fprintf(stderr, "vorn-replay: no device %s (%s)%s\n", options.device.c_str(), vorn_sim_last_error(),
                options.create ? "" : "; --create makes one");
        return kExitFailed;
    }
    InstallSignalHandlers();
    Totals totals;
    const auto start = Clock::now();
    const int code = Play(reader, target, options, totals);
    PrintSummary(totals, std::chrono::duration<double>(Clock::now() - start).count(), g_interrupted,
                 target.socket >= 0);
    if (target.card) vorn_sim_close(target.card);
    if (target.socket >= 0) close(target.socket);
    if (g_interrupted) return kExitInterrupted;
    return code != kExitOk ? code : totals.failed == 0 ? kExitOk : kExitFailed;
}
