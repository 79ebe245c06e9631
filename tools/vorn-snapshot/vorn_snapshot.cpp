// vorn-snapshot: shows a snapshot file as the connector loads it, or makes a sample one.
//   vorn-snapshot show FILE
//   vorn-snapshot make [--out FILE] [--date YYYYMMDD] [--seqno N] [--segment cipher|0|1|2]
//                      [--channel udp://GROUP:PORT/SOURCE]... [--instruments FILE|COUNT]
//                      [--capture FILE [--frames N]]
// `show` reads the file with the connector's own loader, so it accepts and refuses exactly
// what start-up does, for the same reasons.
#include <arpa/inet.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "CommonLog.h"
#include "DateType.h"
#include "VornCffexMdApiImpl.h"
#include "log_line.h"
#include "pcap_writer.h"
#include "private_folder.h"
#include "snapshot_writer.h"
#include "synthetic_session.h"
#include "tool_version.h"

// The three known code segments the connector compares against (embedded at build time).
extern "C" const unsigned char cSecretKey[1200];

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr size_t kSegmentBytes = 400;

constexpr int kExitHelp = -1; // --help was answered: exit 0

// Prints the usage to `out`: after a problem (to standard error) kExitUsage, else kExitHelp.
int Usage(const char* problem = nullptr, FILE* out = stderr) {
    if (problem) fprintf(stderr, "vorn-snapshot: %s\n", problem);
    fprintf(out,
            "usage: vorn-snapshot show FILE\n"
            "       vorn-snapshot make [--out FILE] [--date YYYYMMDD] [--seqno N] [--segment cipher|0|1|2]\n"
            "                          [--channel udp://GROUP:PORT/SOURCE]... [--instruments FILE|COUNT]\n"
            "                          [--capture FILE [--frames N]]\n"
            "       vorn-snapshot --version\n"
            "  show  prints channels, trade date, last sequence number, code segment and work mode,\n"
            "        and one line per instrument (price encoding, best bid and ask)\n"
            "  make  writes a sample day's snapshot: by default to the day's shared path\n"
            "        /tmp/.YYYYMMDD_V2.bin of --date (today: %s), under the lock the\n"
            "        test suites take; trade date today, seqno 0, segment cipher = software mode,\n"
            "        channel udp://239.3.42.1:30001/10.0.0.5, the 10 sample instruments\n"
            "    --channel      a feed channel (repeatable; the first is channel A and carries the capture)\n"
            "    --instruments  COUNT sample instruments, or FILE of lines\n"
            "                   CODE PRODUCT BASE_PRICE PRICE_TICK VOLUME_MULTIPLE PRE_SETTLEMENT\n"
            "    --capture      also write the session that follows the snapshot as a pcap capture\n"
            "    --frames       frames of that capture (default 1000)\n",
            vorn_sim::SnapshotWriter::TodayPath().c_str());
    return problem || out == stderr ? kExitUsage : kExitHelp;
}

// The parts of a "udp://GROUP:PORT/SOURCE" channel address.
struct ChannelAddress {
    std::string group, source;
    uint16_t port = 0;
};

bool IsIpv4(const std::string& text) {
    in_addr address{};
    return inet_pton(AF_INET, text.c_str(), &address) == 1;
}

bool ParseChannel(const std::string& text, ChannelAddress& channel) {
    const std::string scheme = "udp://";
    if (text.rfind(scheme, 0) != 0 || text.size() > 59) return false;
    const size_t colon = text.find(':', scheme.size());
    const size_t slash = text.find('/', scheme.size());
    if (colon == std::string::npos || slash == std::string::npos || colon > slash) return false;
    channel.group = text.substr(scheme.size(), colon - scheme.size());
    channel.source = text.substr(slash + 1);
    int32_t port = 0;
    const std::string portText = text.substr(colon + 1, slash - colon - 1);
    char* end = nullptr;
    port = static_cast<int32_t>(strtol(portText.c_str(), &end, 10));
    if (portText.empty() || *end || port < 1 || port > 65535) return false;
    channel.port = static_cast<uint16_t>(port);
    return IsIpv4(channel.group) && IsIpv4(channel.source);
}

// ---- show ----

// The connector's log echoes to standard output and to a file in the working directory: while
// loading, the file goes to a private directory, standard output is muted, and only errors
// and warnings are logged, which become the reason given for a refused file.
class QuietLog {
public:
    QuietLog() {
        dir_ = vorn_tools::MakePrivateFolder("vorn_snapshot_log_");
        Vorn_R10::CCommonLog& log = Vorn_R10::CCommonLog::GetInstance();
        log.SetLogLevel(static_cast<Vorn_R10::ELOGLEVEL>(Vorn_R10::LOG_ERROR | Vorn_R10::LOG_WARNING));
        log.SetLogPath(dir_);
    }
    ~QuietLog() {
        const std::string file = Vorn_R10::CCommonLog::GetInstance().GetLogFileName();
        if (!file.empty()) unlink(file.c_str());
        if (!dir_.empty()) rmdir(dir_.c_str());
    }
    void Mute() {
        fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null >= 0) {
            dup2(null, STDOUT_FILENO);
            close(null);
        }
    }
    void Unmute() {
        fflush(stdout);
        if (saved_ >= 0) {
            dup2(saved_, STDOUT_FILENO);
            close(saved_);
            saved_ = -1;
        }
    }
    // The messages logged so far, without colours, time stamps and call sites.
    std::vector<std::string> Messages() const {
        std::vector<std::string> messages;
        std::ifstream in(Vorn_R10::CCommonLog::GetInstance().GetLogFileName());
        std::string line;
        while (std::getline(in, line)) messages.push_back(MessageOf(line));
        return messages;
    }

private:
    static std::string MessageOf(std::string line) { return vorn_tools::LogLineMessage(std::move(line)); }

    std::string dir_;
    int saved_ = -1;
};

std::string Price(double price) {
    if (price == EMPTY_PRICE) return "-";
    char text[32];
    snprintf(text, sizeof text, "%.10g", price);
    return text;
}

std::string Level(double price, int32_t volume) {
    if (price == EMPTY_PRICE) return "-";
    return Price(price) + " x " + std::to_string(volume);
}

std::string AddressText(const multi_address_field& channel) {
    return std::string(channel.multi_address, strnlen(channel.multi_address, sizeof channel.multi_address));
}

void ShowChannels(const CVornCffexMdApiImpl& c) {
    printf("channels: %zu\n", c.m_MultiAddressField.size());
    for (size_t i = 0; i < c.m_MultiAddressField.size(); ++i) {
        const multi_address_field& channel = c.m_MultiAddressField[i];
        const std::string address = AddressText(channel);
        std::string port, source;
        const bool parsed = CVornCffexMdApiImpl::_parseURL(address, port, source);
        const char* role = i == 0 ? "channel A" : i == 1 ? "channel B" : "matched in software mode only";
        printf("  #%zu no %d topic %u status %d  %s\n", i, channel.channel_no, channel.md_topicid, channel.status,
               address.c_str());
        if (parsed)
            printf("      source %s port %s (%s)\n", source.c_str(), port.c_str(), role);
        else
            printf("      not a scheme://host:port/source address (%s)%s\n", role,
                   i < 2 ? ": start-up refuses it" : "");
    }
}

// Index of the known segment the code equals, -1 for none.
int MatchingSegment(const encrypt_code_segment_field& code) {
    for (int k = 0; k < 3; ++k)
        if (memcmp(code.compiled_code, cSecretKey + k * kSegmentBytes, kSegmentBytes) == 0) return k;
    return -1;
}

void ShowCodeSegment(const encrypt_code_segment_field& code) {
    const unsigned char keyArg = static_cast<unsigned char>(code.arg1[0]);
    printf("code segment: code_len %d, check_code %d (0x%08x), key argument %d (0x%02x)\n", code.code_len,
           code.check_code, static_cast<unsigned>(code.check_code), static_cast<int8_t>(keyArg), keyArg);
    if (code.code_len < 1 || code.code_len > 400)
        printf("  code_len outside 1..400: encrypted fields cannot be decrypted in software mode\n");
    const int k = MatchingSegment(code);
    if (k >= 0)
        printf("  matches known segment %d: hardware mode (work mode 2, key type %d)\n", k, k);
    else
        printf("  matches no known segment: software mode (work mode 1, key type 3)\n");
}

void ShowInstruments(const CVornCffexMdApiImpl& c) {
    std::map<int32_t, int> keys; // bit 1: price encoding, bit 2: depth
    for (const auto& entry : c.m_ins_price_infos) keys[entry.first] |= 1;
    for (const auto& entry : c.m_depth_market_data_infos) keys[entry.first] |= 2;
    printf("instruments: %zu price encodings, %zu depth records\n", c.m_ins_price_infos.size(),
           c.m_depth_market_data_infos.size());
    printf("  %-8s %-16s %-8s %-12s %-10s %-8s %-20s %s\n", "key", "instrument", "product", "base", "tick", "multiple",
           "bid1", "ask1");
    for (const auto& entry : keys) {
        std::string id = "-", product = "-", base = "-", tick = "-", multiple = "-", bid = "-", ask = "-";
        if (entry.second & 1) {
            const ins_price_encode_info_field& p = c.m_ins_price_infos.at(entry.first);
            id = std::string(p.instrument_id, strnlen(p.instrument_id, sizeof p.instrument_id));
            product = std::string(p.product_id, strnlen(p.product_id, sizeof p.product_id));
            base = Price(p.base_price);
            tick = Price(p.price_tick);
            multiple = std::to_string(p.volume_multiple);
        }
        if (entry.second & 2) {
            const depth_market_data_field& d = c.m_depth_market_data_infos.at(entry.first);
            if (id == "-") id = std::string(d.instrument_id, strnlen(d.instrument_id, sizeof d.instrument_id));
            bid = Level(d.bid1_price, d.bid1_volume);
            ask = Level(d.ask1_price, d.ask1_volume);
        } else {
            bid = ask = "(no depth record)";
        }
        printf("  %-8d %-16s %-8s %-12s %-10s %-8s %-20s %s\n", entry.first, id.c_str(), product.c_str(), base.c_str(),
               tick.c_str(), multiple.c_str(), bid.c_str(), ask.c_str());
    }
}

int Show(const std::string& path) {
    if (access(path.c_str(), R_OK) != 0) {
        fprintf(stderr, "vorn-snapshot: cannot open %s: %s\n", path.c_str(), strerror(errno));
        return kExitFailed;
    }
    QuietLog log;
    auto connector = std::make_unique<CVornCffexMdApiImpl>();
    log.Mute();
    const int loaded = connector->LoadFromFile(path);
    log.Unmute();
    if (loaded != 0) {
        fprintf(stderr, "vorn-snapshot: %s is not a loadable snapshot\n", path.c_str());
        for (const std::string& message : log.Messages()) fprintf(stderr, "  %s\n", message.c_str());
        return kExitFailed;
    }
    struct stat info {};
    stat(path.c_str(), &info);
    printf("snapshot %s (%lld bytes)\n", path.c_str(), static_cast<long long>(info.st_size));
    ShowChannels(*connector);
    printf("trade date: %d\n", connector->m_iTradeDate);
    printf("last seqno: %d\n", connector->m_EndSnapMdField.last_md_seqno);
    ShowCodeSegment(connector->m_RspEncryptCodeSegmentField);
    ShowInstruments(*connector);
    return kExitOk;
}

// ---- make ----

struct MakeOptions {
    std::string out; // empty: the shared path of the trade date
    int32_t date = 0;
    int32_t seqno = 0;
    int segment = -1; // -1: the sample cipher
    std::vector<std::string> channels;
    std::string instrumentsFile;
    int instrumentCount = 0; // 0: the default set
    std::string capture;     // also write the session's capture here
    int frames = 1000;
};

bool ParseInt32(const char* text, int32_t& value) {
    char* end = nullptr;
    errno = 0;
    const long long parsed = strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || parsed < INT32_MIN || parsed > INT32_MAX) return false;
    value = static_cast<int32_t>(parsed);
    return true;
}

bool ParseDate(const char* text, int32_t& date) {
    if (strlen(text) != 8 || strspn(text, "0123456789") != 8 || !ParseInt32(text, date)) return false;
    const int month = date / 100 % 100, day = date % 100;
    return month >= 1 && month <= 12 && day >= 1 && day <= 31;
}

bool ParseSegment(const std::string& text, int& segment) {
    if (text == "cipher")
        segment = -1;
    else if (text == "0" || text == "1" || text == "2")
        segment = text[0] - '0';
    else
        return false;
    return true;
}

// A positive count, or a file of instruments.
bool ParseInstruments(const char* text, MakeOptions& options) {
    int32_t count = 0;
    if (strspn(text, "0123456789") == strlen(text) && ParseInt32(text, count)) {
        options.instrumentCount = count;
        return count >= 1 && count <= 10000;
    }
    options.instrumentsFile = text;
    return true;
}

int ParseMake(int argc, char** argv, MakeOptions& options) {
    const Vorn_R10::CDateType today = Vorn_R10::CDateType::Today();
    options.date = today.year * 10000 + today.month * 100 + today.day;
    for (int i = 2; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "-h" || option == "--help") return Usage(nullptr, stdout);
        if (i + 1 >= argc) return Usage(("missing value after " + option).c_str());
        const char* value = argv[++i];
        const std::string bad = option + " '" + value + "': ";
        if (option == "--out")
            options.out = value;
        else if (option == "--date") {
            if (!ParseDate(value, options.date)) return Usage((bad + "wants YYYYMMDD").c_str());
        } else if (option == "--seqno") {
            if (!ParseInt32(value, options.seqno)) return Usage((bad + "wants a 32-bit integer").c_str());
        } else if (option == "--segment") {
            if (!ParseSegment(value, options.segment)) return Usage((bad + "wants cipher, 0, 1 or 2").c_str());
        } else if (option == "--channel") {
            ChannelAddress address;
            if (!ParseChannel(value, address))
                return Usage((bad + "wants udp://GROUP:PORT/SOURCE with IPv4 addresses").c_str());
            options.channels.push_back(value);
        } else if (option == "--instruments") {
            if (!ParseInstruments(value, options)) return Usage((bad + "wants a count 1..10000 or a FILE").c_str());
        } else if (option == "--capture") {
            options.capture = value;
        } else if (option == "--frames") {
            int32_t frames = 0;
            if (!ParseInt32(value, frames) || frames < 1) return Usage((bad + "wants a positive count").c_str());
            options.frames = frames;
        } else {
            return Usage(("unknown option " + option).c_str());
        }
    }
    if (options.out.empty())
        options.out =
            CVornCffexMdApiImpl::SnapshotFileName({options.date / 10000, options.date / 100 % 100, options.date % 100});
    return kExitOk;
}

// `count` instruments: the default set, then more futures of its products in later months.
std::vector<vorn_sim::SimInstrument> CountedInstruments(int count) {
    const std::vector<vorn_sim::SimInstrument> defaults = vorn_sim::DefaultInstruments();
    std::vector<vorn_sim::SimInstrument> futures;
    for (const auto& instrument : defaults)
        if (!instrument.option) futures.push_back(instrument);
    std::vector<vorn_sim::SimInstrument> all;
    for (int i = 0; i < count; ++i) {
        if (i < static_cast<int>(defaults.size())) {
            all.push_back(defaults[i]);
            continue;
        }
        const int extra = i - static_cast<int>(defaults.size());
        vorn_sim::SimInstrument instrument = futures[extra % futures.size()];
        const int month = extra / static_cast<int>(futures.size());
        instrument.instrument_id = instrument.product_id + std::to_string(2701 + month % 12 + month / 12 * 100);
        instrument.key = defaults.back().key + 1 + extra;
        all.push_back(instrument);
    }
    return all;
}

// Lines "CODE PRODUCT BASE_PRICE PRICE_TICK VOLUME_MULTIPLE PRE_SETTLEMENT"; '#' starts a
// comment. Codes longer than six characters are options.
bool ReadInstrumentsFile(const std::string& path, std::vector<vorn_sim::SimInstrument>& instruments) {
    std::ifstream in(path);
    if (!in) {
        fprintf(stderr, "vorn-snapshot: cannot open %s: %s\n", path.c_str(), strerror(errno));
        return false;
    }
    const int32_t firstKey = vorn_sim::DefaultInstruments().front().key;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        line = line.substr(0, line.find('#'));
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        std::istringstream fields(line);
        vorn_sim::SimInstrument instrument;
        if (!(fields >> instrument.instrument_id >> instrument.product_id >> instrument.base_price >>
              instrument.price_tick >> instrument.volume_multiple >> instrument.pre_settlement_price) ||
            instrument.instrument_id.size() > 29 || instrument.product_id.size() > 9 || !(instrument.price_tick > 0)) {
            fprintf(stderr,
                    "vorn-snapshot: %s:%d: want CODE PRODUCT BASE_PRICE PRICE_TICK VOLUME_MULTIPLE PRE_SETTLEMENT\n",
                    path.c_str(), number);
            return false;
        }
        instrument.option = instrument.instrument_id.size() > 6;
        instrument.key = firstKey + static_cast<int32_t>(instruments.size());
        instruments.push_back(instrument);
    }
    if (instruments.empty()) fprintf(stderr, "vorn-snapshot: %s lists no instrument\n", path.c_str());
    return !instruments.empty();
}

// Whether `path` is where the connector looks for a day's snapshot by default.
bool IsSharedDayPath(const std::string& path) {
    return path.rfind("/tmp/.", 0) == 0 && path.size() == strlen("/tmp/.YYYYMMDD_V2.bin") &&
           path.compare(path.size() - 7, 7, "_V2.bin") == 0;
}

// The capture of the session that follows the snapshot, stamped from the session's start
// time on its trade date (local time), one frame every 100 microseconds.
bool WriteSessionCapture(vorn_sim::SyntheticSession& session, const MakeOptions& options) {
    struct tm day {};
    day.tm_year = options.date / 10000 - 1900;
    day.tm_mon = options.date / 100 % 100 - 1;
    day.tm_mday = options.date % 100;
    day.tm_isdst = -1;
    const time_t midnight = mktime(&day);
    const uint64_t startUsec = (static_cast<uint64_t>(midnight) + session.Config().start_seconds) * 1000000ULL;
    std::vector<std::vector<uint8_t>> frames;
    for (int i = 0; i < options.frames; ++i) frames.push_back(session.NextFrame());
    return vorn_sim::WritePcap(options.capture, frames, startUsec, 100);
}

int Make(int argc, char** argv) {
    MakeOptions options;
    if (const int usage = ParseMake(argc, argv, options)) return usage == kExitHelp ? kExitOk : usage;
    vorn_sim::SessionConfig config;
    config.trade_date = options.date;
    config.first_seqno = static_cast<uint32_t>(options.seqno) + 1;
    config.code_segment = options.segment;
    if (!options.channels.empty()) {
        ChannelAddress first;
        ParseChannel(options.channels.front(), first);
        config.group_ip = first.group;
        config.port = first.port;
        config.source_ip = first.source;
    }
    if (options.instrumentCount) config.instruments = CountedInstruments(options.instrumentCount);
    if (!options.instrumentsFile.empty()) {
        config.instruments.clear();
        if (!ReadInstrumentsFile(options.instrumentsFile, config.instruments)) return kExitFailed;
    }
    vorn_sim::SyntheticSession session(config);
    vorn_sim::SnapshotWriter writer = session.Snapshot();
    for (size_t i = 1; i < options.channels.size(); ++i) writer.AddChannel(options.channels[i]);
    writer.SetTradeDate(options.date);
    writer.SetLastSeqNo(options.seqno);
    if (IsSharedDayPath(options.out)) vorn_sim::SnapshotWriter::LockSharedPath("vorn-snapshot"); // held until exit
    if (!writer.WriteFile(options.out)) {
        fprintf(stderr, "vorn-snapshot: cannot write %s: %s\n", options.out.c_str(), strerror(errno));
        return kExitFailed;
    }
    const std::string segment = options.segment < 0
                                    ? "sample cipher (software mode)"
                                    : "known segment " + std::to_string(options.segment) + " (hardware mode)";
    printf("wrote %s: channel %s, trade date %d, last seqno %d, %zu instruments, %s\n", options.out.c_str(),
           session.ChannelAddress().c_str(), options.date, options.seqno, session.Instruments().size(),
           segment.c_str());
    if (options.capture.empty()) return kExitOk;
    if (!WriteSessionCapture(session, options)) {
        fprintf(stderr, "vorn-snapshot: cannot write %s\n", options.capture.c_str());
        return kExitFailed;
    }
    printf("wrote %s: %d frames of that session\n", options.capture.c_str(), options.frames);
    return kExitOk;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage("no command given");
    const std::string command = argv[1];
    if (command == "show") {
        if (argc != 3) return Usage("show takes one FILE");
        return Show(argv[2]);
    }
    if (command == "make") return Make(argc, argv);
    if (command == "-h" || command == "--help" || command == "help") {
        Usage(nullptr, stdout);
        return kExitOk;
    }
    if (command == "--version") {
        vorn_tools::PrintVersion("vorn-snapshot");
        return kExitOk;
    }
    return Usage(("unknown command " + command).c_str());
}
