// vorn_r10._snapshot: read_snapshot() with the connector's own snapshot loader, as
// `vorn-snapshot show` reads a file. The connector is compiled into this module and kept
// inside it (only the module's entry point is exported), apart from the shared library that
// decode() runs.
#include <fcntl.h>
#include <pybind11/pybind11.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "CommonLog.h"
#include "VornCffexMdApiImpl.h"
#include "log_line.h"

namespace py = pybind11;

// The three known code segments the connector compares against (embedded at build time).
extern "C" const unsigned char cSecretKey[1200];

namespace {

constexpr size_t kSegmentBytes = 400;
PyObject* g_error = nullptr;
// The loader's log: one file per process (the log takes its folder once), in a private folder
// removed by Cleanup(); only errors and warnings, which become the reasons of a refusal.
std::mutex g_mutex;
std::string g_logDir;

[[noreturn]] void Fail(const std::string& message) {
    PyErr_SetString(g_error, message.c_str());
    throw py::error_already_set();
}

std::string Text(const char* chars, size_t capacity) { return std::string(chars, strnlen(chars, capacity)); }

// A member of a packed record by value: no reference may bind to it (it may be misaligned).
template <typename T>
T Value(T value) {
    return value;
}

py::object Price(double price) { return price == EMPTY_PRICE ? py::object(py::none()) : py::object(py::float_(price)); }

// Messages logged since byte `from` of the log, without colours, time stamps and call sites.
std::string LoggedSince(std::streamoff from) {
    std::ifstream in(Vorn_R10::CCommonLog::GetInstance().GetLogFileName());
    in.seekg(from);
    std::string messages;
    for (std::string line; std::getline(in, line);) messages += "\n  " + vorn_tools::LogLineMessage(line);
    return messages;
}

std::streamoff LogSize() {
    struct stat info {};
    const std::string file = Vorn_R10::CCommonLog::GetInstance().GetLogFileName();
    return !file.empty() && stat(file.c_str(), &info) == 0 ? info.st_size : 0;
}

// Loads the file with the standard output muted (the log echoes there).
int LoadQuietly(CVornCffexMdApiImpl& connector, const std::string& path) {
    fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved >= 0 && null >= 0) dup2(null, STDOUT_FILENO);
    if (null >= 0) close(null);
    const int loaded = connector.LoadFromFile(path);
    fflush(stdout);
    if (saved >= 0) {
        dup2(saved, STDOUT_FILENO);
        close(saved);
    }
    return loaded;
}

py::list Channels(const CVornCffexMdApiImpl& c) {
    py::list channels;
    for (size_t i = 0; i < c.m_MultiAddressField.size(); ++i) {
        const multi_address_field& channel = c.m_MultiAddressField[i];
        const std::string address = Text(channel.multi_address, sizeof channel.multi_address);
        std::string port, source;
        const bool parsed = CVornCffexMdApiImpl::_parseURL(address, port, source);
        py::dict d;
        d["channel_no"] = Value(channel.channel_no);
        d["topic"] = Value(channel.md_topicid);
        d["status"] = Value(channel.status);
        d["address"] = address;
        d["source"] = parsed ? py::object(py::str(source)) : py::object(py::none());
        d["port"] = parsed ? py::object(py::int_(std::stoi(port))) : py::object(py::none());
        d["role"] = i == 0 ? "channel A" : i == 1 ? "channel B" : "matched in software mode only";
        channels.append(d);
    }
    return channels;
}

int MatchingSegment(const encrypt_code_segment_field& code) {
    for (int k = 0; k < 3; ++k)
        if (memcmp(code.compiled_code, cSecretKey + k * kSegmentBytes, kSegmentBytes) == 0) return k;
    return -1;
}

py::dict Instrument(int32_t key, const ins_price_encode_info_field* price, const depth_market_data_field* depth) {
    py::dict d;
    d["key"] = key;
    d["instrument_id"] = price   ? Text(price->instrument_id, sizeof price->instrument_id)
                         : depth ? Text(depth->instrument_id, sizeof depth->instrument_id)
                                 : std::string();
    if (price) {
        py::dict encoding;
        encoding["product"] = Text(price->product_id, sizeof price->product_id);
        encoding["base_price"] = Value(price->base_price);
        encoding["price_tick"] = Value(price->price_tick);
        encoding["volume_multiple"] = Value(price->volume_multiple);
        d["price_encoding"] = encoding;
    } else {
        d["price_encoding"] = py::none();
    }
    if (depth) {
        py::dict book;
        auto level = [](double price, int32_t volume) { return std::make_pair(price, volume); };
        const std::pair<double, int32_t> bids[] = {
            level(depth->bid1_price, depth->bid1_volume), level(depth->bid2_price, depth->bid2_volume),
            level(depth->bid3_price, depth->bid3_volume), level(depth->bid4_price, depth->bid4_volume),
            level(depth->bid5_price, depth->bid5_volume)};
        const std::pair<double, int32_t> asks[] = {
            level(depth->ask1_price, depth->ask1_volume), level(depth->ask2_price, depth->ask2_volume),
            level(depth->ask3_price, depth->ask3_volume), level(depth->ask4_price, depth->ask4_volume),
            level(depth->ask5_price, depth->ask5_volume)};
        // Empty levels are left out: a level is (price, volume).
        py::list bidLevels, askLevels;
        for (const auto& level : bids)
            if (level.first != EMPTY_PRICE) bidLevels.append(py::make_tuple(level.first, level.second));
        for (const auto& level : asks)
            if (level.first != EMPTY_PRICE) askLevels.append(py::make_tuple(level.first, level.second));
        book["bids"] = bidLevels;
        book["asks"] = askLevels;
        book["last_price"] = Price(depth->last_price);
        book["volume"] = Value(depth->volume);
        book["open_interest"] = Value(depth->open_interest);
        book["pre_settlement_price"] = Price(depth->pre_settlement_price);
        book["upper_limit_price"] = Price(depth->upper_limit_price);
        book["lower_limit_price"] = Price(depth->lower_limit_price);
        d["depth"] = book;
    } else {
        d["depth"] = py::none();
    }
    return d;
}

py::dict ReadSnapshot(const py::object& pathObject) {
    const std::string path = py::str(py::module_::import("os").attr("fspath")(pathObject)).cast<std::string>();
    if (access(path.c_str(), R_OK) != 0) Fail("cannot open " + path + ": " + strerror(errno));
    std::lock_guard<std::mutex> lock(g_mutex);
    Vorn_R10::CCommonLog& log = Vorn_R10::CCommonLog::GetInstance();
    if (g_logDir.empty()) {
        char pattern[] = "/tmp/vorn_r10_py_log.XXXXXX";
        if (!mkdtemp(pattern)) Fail(std::string("cannot make a private directory: ") + strerror(errno));
        g_logDir = pattern;
        log.SetLogLevel(static_cast<Vorn_R10::ELOGLEVEL>(Vorn_R10::LOG_ERROR | Vorn_R10::LOG_WARNING));
        log.SetLogPath(g_logDir);
    }
    const std::streamoff logged = LogSize();
    auto connector = std::make_unique<CVornCffexMdApiImpl>();
    if (LoadQuietly(*connector, path) != 0) Fail(path + " is not a loadable snapshot" + LoggedSince(logged));

    const CVornCffexMdApiImpl& c = *connector;
    py::dict d;
    d["path"] = path;
    d["channels"] = Channels(c);
    d["trade_date"] = c.m_iTradeDate;
    d["last_seqno"] = Value(c.m_EndSnapMdField.last_md_seqno);
    const encrypt_code_segment_field& code = c.m_RspEncryptCodeSegmentField;
    const int segment = MatchingSegment(code);
    py::dict codeSegment;
    codeSegment["code_len"] = Value(code.code_len);
    codeSegment["check_code"] = Value(code.check_code);
    codeSegment["key_argument"] = static_cast<int8_t>(code.arg1[0]);
    codeSegment["known_segment"] = segment >= 0 ? py::object(py::int_(segment)) : py::object(py::none());
    d["code_segment"] = codeSegment;
    d["work_mode"] = segment >= 0 ? 2 : 1;
    std::map<int32_t, int> keys; // bit 1: price encoding, bit 2: depth
    for (const auto& entry : c.m_ins_price_infos) keys[entry.first] |= 1;
    for (const auto& entry : c.m_depth_market_data_infos) keys[entry.first] |= 2;
    py::list instruments;
    for (const auto& entry : keys)
        instruments.append(Instrument(entry.first, entry.second & 1 ? &c.m_ins_price_infos.at(entry.first) : nullptr,
                                      entry.second & 2 ? &c.m_depth_market_data_infos.at(entry.first) : nullptr));
    d["instruments"] = instruments;
    return d;
}

// Removes the loader's log and its folder (at interpreter exit).
void Cleanup() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_logDir.empty()) return;
    const std::string file = Vorn_R10::CCommonLog::GetInstance().GetLogFileName();
    if (!file.empty()) unlink(file.c_str());
    rmdir(g_logDir.c_str());
}

} // namespace

PYBIND11_MODULE(_snapshot, m) {
    m.doc() = "The connector's snapshot loader, for vorn_r10.read_snapshot.";
    g_error = py::object(py::module_::import("vorn_r10._core").attr("Error")).release().ptr();
    m.def("read_snapshot", &ReadSnapshot, py::arg("path"));
    m.def("_cleanup", &Cleanup);
}
