// vorn-firmware: plays the firmware of a simulated card in hardware mode from the shell.
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "tool_version.h"
#include "vorn_firmware.h"

using namespace vorn_firmware;

namespace {

constexpr int kUsageExit = 2;

int Usage(FILE* out = stderr) {
    std::fprintf(out, "usage: vorn-firmware DEV COMMAND [ARGS] | vorn-firmware table LOGFILE | --version\n"
                      "  record [--OPTION VALUE]...  put one decoded record on channel 1\n"
                      "      --inst N --id TEXT --day YYYYMMDD --time HH:MM:SS|SECONDS --msec N\n"
                      "      --volume N --last P --turnover X --oi N --delta N --trust N\n"
                      "      --bidK P --askK P --bidvK N --askvK N (K = 1..5) --high P --low P\n"
                      "      --open P --close P --upper P --lower P --settlement P\n"
                      "      --len BYTES (frame length, default 280) --prefix N\n"
                      "      prices P are decimals, delivered in thousandths (3800.2 -> 3800200)\n"
                      "  event --seq N --lane N [--len N] [--type N]  put an abnormal event on channel 0\n"
                      "  version [FIRMWARE VERDICT]  show or set registers 65 and 64\n"
                      "  table LOGFILE               print the instrument table rebuilt from a connector log\n"
                      "                              (no device: vorn-firmware table LOGFILE)\n");
    return kUsageExit;
}

bool ParseInt(const std::string& text, int64_t& out) {
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 0);
    if (errno || text.empty() || *end) return false;
    out = value;
    return true;
}

bool ParsePrice(const std::string& text, int64_t& out) {
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (errno || text.empty() || *end || !std::isfinite(value)) return false;
    out = static_cast<int64_t>(value * 1000.0 + (value < 0 ? -0.5 : 0.5));
    return true;
}

// HH:MM:SS or a plain number of seconds.
bool ParseTime(const std::string& text, int64_t& out) {
    unsigned h = 0, m = 0, s = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%u:%u:%u%c", &h, &m, &s, &tail) == 3) {
        out = h * 3600 + m * 60 + s;
        return true;
    }
    return ParseInt(text, out);
}

// --name value pairs.
bool ParseOptions(int argc, char** argv, int first, std::map<std::string, std::string>& options) {
    for (int i = first; i < argc; i += 2) {
        if (std::strncmp(argv[i], "--", 2) != 0 || i + 1 >= argc) {
            std::fprintf(stderr, "vorn-firmware: expected --OPTION VALUE at '%s'\n", argv[i]);
            return false;
        }
        options[argv[i] + 2] = argv[i + 1];
    }
    return true;
}

class RecordOptions {
public:
    explicit RecordOptions(std::map<std::string, std::string>& options) : options_(options) {}
    template <typename T>
    bool Int(const char* name, T& field) {
        return Take(name, field, ParseInt);
    }
    template <typename T>
    bool Price(const char* name, T& field) {
        return Take(name, field, ParsePrice);
    }
    template <typename T>
    bool Time(const char* name, T& field) {
        return Take(name, field, ParseTime);
    }
    bool Text(const char* name, std::string& text) {
        const auto found = options_.find(name);
        if (found == options_.end()) return true;
        text = found->second;
        options_.erase(found);
        return true;
    }
    bool AllUsed() const {
        for (const auto& option : options_)
            std::fprintf(stderr, "vorn-firmware: unknown option --%s\n", option.first.c_str());
        return options_.empty();
    }

private:
    template <typename T, typename Parse>
    bool Take(const char* name, T& field, Parse parse) {
        const auto found = options_.find(name);
        if (found == options_.end()) return true;
        int64_t value = 0;
        if (!parse(found->second, value)) {
            std::fprintf(stderr, "vorn-firmware: bad value '%s' for --%s\n", found->second.c_str(), name);
            return false;
        }
        field = static_cast<T>(value);
        options_.erase(found);
        return true;
    }
    std::map<std::string, std::string>& options_;
};

// Levels in record order: bid 1, ask 1, ..., bid 5, ask 5; prices and volumes are reached by
// offset, since the record is packed.
bool FillLevels(RecordOptions& in, VornCffexMdType& r) {
    uint8_t* bytes = reinterpret_cast<uint8_t*>(&r);
    for (int i = 0; i < 10; ++i) {
        const std::string side = i % 2 ? "ask" : "bid", level = std::to_string(i / 2 + 1);
        const size_t priceAt = offsetof(VornCffexMdType, bid1_price) + 8 * static_cast<size_t>(i);
        const size_t volumeAt = offsetof(VornCffexMdType, bid1_volume) + 4 * static_cast<size_t>(i);
        int64_t price;
        int32_t volume;
        memcpy(&price, bytes + priceAt, sizeof price);
        memcpy(&volume, bytes + volumeAt, sizeof volume);
        if (!in.Price((side + level).c_str(), price) || !in.Int((side + "v" + level).c_str(), volume)) return false;
        memcpy(bytes + priceAt, &price, sizeof price);
        memcpy(bytes + volumeAt, &volume, sizeof volume);
    }
    return true;
}

int CommandRecord(FirmwareCard& card, int argc, char** argv) {
    std::map<std::string, std::string> options;
    if (!ParseOptions(argc, argv, 3, options)) return kUsageExit;
    RecordOptions in(options);
    std::string id, day;
    int32_t inst = 0;
    uint64_t length = kRecordFrameSize;
    uint32_t prefix = 0;
    bool ok = in.Int("inst", inst) && in.Text("id", id) && in.Text("day", day) && in.Int("len", length) &&
              in.Int("prefix", prefix);
    VornCffexMdType r = MakeRecord(inst, id, day);
    // Packed members are staged through locals.
    int64_t time = 0, last = 0, oi = 0, delta = 0, trust = 1, high = 0, low = 0, open = 0, close = 0, upper = 0,
            lower = 0, settlement = 0;
    int32_t msec = 0, volume = 0;
    int64_t turnoverThousandths = 0;
    ok = ok && in.Time("time", time) && in.Int("msec", msec) && in.Int("volume", volume) && in.Price("last", last) &&
         in.Price("turnover", turnoverThousandths) && in.Int("oi", oi) && in.Int("delta", delta) &&
         in.Int("trust", trust) && in.Price("high", high) && in.Price("low", low) && in.Price("open", open) &&
         in.Price("close", close) && in.Price("upper", upper) && in.Price("lower", lower) &&
         in.Price("settlement", settlement) && FillLevels(in, r) && in.AllUsed();
    if (!ok) return kUsageExit;
    if (length < 1 || length > VORN_SIM_MAX_FRAME) {
        std::fprintf(stderr, "vorn-firmware: --len must be 1..%u\n", VORN_SIM_MAX_FRAME);
        return kUsageExit;
    }
    r.UpdateTime = time;
    r.update_msec = msec;
    r.volume = volume;
    r.last_price = last;
    r.turn_over = static_cast<double>(turnoverThousandths) / 1000.0;
    r.open_interest = oi;
    r.curr_delta = delta;
    r.trust_flag = trust;
    r.high_price = high;
    r.low_price = low;
    r.open_price = open;
    r.close_price = close;
    r.upper_limit_price = upper;
    r.lower_limit_price = lower;
    r.settlement_price = settlement;
    if (!card.PutRecord(r, length, prefix)) {
        std::fprintf(stderr, "vorn-firmware: the card refused the frame\n");
        return 1;
    }
    return 0;
}

int CommandEvent(FirmwareCard& card, int argc, char** argv) {
    std::map<std::string, std::string> options;
    if (!ParseOptions(argc, argv, 3, options)) return kUsageExit;
    RecordOptions in(options);
    uint32_t seq = 0;
    uint64_t lane = 0;
    uint16_t len = 16, type = DMA_EVENT;
    if (!(in.Int("seq", seq) && in.Int("lane", lane) && in.Int("len", len) && in.Int("type", type) && in.AllUsed()))
        return kUsageExit;
    if (!card.PutEvent(seq, lane, len, type)) {
        std::fprintf(stderr, "vorn-firmware: the card refused the frame\n");
        return 1;
    }
    return 0;
}

int CommandVersion(FirmwareCard& card, int argc, char** argv) {
    if (argc == 3) {
        std::printf("firmware 0x%08x verdict %u\n", card.FirmwareVersion(), card.Verdict());
        return 0;
    }
    int64_t firmware = 0, verdict = 0;
    if (argc != 5 || !ParseInt(argv[3], firmware) || !ParseInt(argv[4], verdict) || firmware < 0 ||
        firmware > UINT32_MAX || verdict < 0 || verdict > UINT32_MAX)
        return Usage();
    card.SetVersion(static_cast<uint32_t>(firmware), static_cast<uint32_t>(verdict));
    return 0;
}

// Prints the table rebuilt from the log file at `path`.
int CommandTable(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "vorn-firmware: cannot read %s\n", path);
        return 1;
    }
    std::stringstream text;
    text << in.rdbuf();
    for (const SCffexInstTableType& row : TableFromLog(text.str())) {
        const SCffexInstTableType r = row;
        std::printf("inst_id %u config %u instrument %.32s base %" PRId64 " tick %" PRId64 " last %" PRId64
                    " volume %u update_time %" PRIu64 "\n",
                    r.inst_id, r.config, r.instrument_id, static_cast<int64_t>(r.base_price),
                    static_cast<int64_t>(r.price_tick), static_cast<int64_t>(r.last_price), r.volume,
                    static_cast<uint64_t>(r.update_time));
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string first = argc > 1 ? argv[1] : "";
    if (first == "-h" || first == "--help") {
        Usage(stdout);
        return 0;
    }
    if (first == "--version") {
        vorn_tools::PrintVersion("vorn-firmware");
        return 0;
    }
    // The table needs no device: "table LOGFILE", also accepted after a device name.
    if (first == "table") return argc == 3 ? CommandTable(argv[2]) : Usage();
    if (argc < 3) return Usage();
    const std::string command = argv[2];
    if (command == "table") return argc == 4 ? CommandTable(argv[3]) : Usage();
    FirmwareCard card(argv[1]);
    if (!card.IsOpen()) {
        std::fprintf(stderr, "vorn-firmware: %s\n", vorn_sim_last_error());
        return 1;
    }
    if (command == "record") return CommandRecord(card, argc, argv);
    if (command == "event") return CommandEvent(card, argc, argv);
    if (command == "version") return CommandVersion(card, argc, argv);
    std::fprintf(stderr, "vorn-firmware: unknown command '%s'\n", command.c_str());
    return Usage();
}
