// Configuration keys and the per-channel instrument selection.
#include <arpa/inet.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "IniReader.h"
#include "VornCffexMdApiImpl.h"

using namespace Vorn_R10;

namespace {
// One frame in this many is timed unless `latency_sample` says otherwise: timing every
// frame (two time-stamp counter reads and a histogram bucket) costs about a fifth of a plain
// packet, one in 16 still over 1%, one in 64 about 0.3%.
constexpr int32_t kDefaultLatencySample = 64;
} // namespace

int32_t CVornCffexMdApiImpl::_ReadConfig() {
    CIniReader reader;
    if (!reader.ReadConfig(m_configFileName.c_str())) {
        printf("ReadConfig is %s failed \n", m_configFileName.c_str());
        fflush(stdout);
        return -1;
    }
    R10CffexConfigInfo& config = m_r10ConfigInfo;
    config.log_path = reader.ReadString("config", "log_path", "");
    m_logServer.SetLogPath(config.log_path);
    config.log_level = reader.ReadInt32("config", "log_level", 15);
    m_logServer.SetLogLevel(static_cast<ELOGLEVEL>(config.log_level));
    config.cpucore = reader.ReadInt32("config", "cpucore", -1);
    config.exanic_cache_flag = reader.ReadInt32("config", "exanic_cache_flag", 1);
    const int32_t cacheSize = reader.ReadInt32("config", "exanic_cache_size", 10);
    config.exanic_cache_size = (cacheSize >= 1 && cacheSize <= 100) ? cacheSize : 10;
    config.device = reader.ReadString("config", "device", "exanic0");
    config.snapshot = reader.ReadString("config", "snapshot", "");
    config.counters_path = reader.ReadString("config", "counters_path", kCountersDefaultFolder);
    config.counters_name = reader.ReadString("config", "counters_name", "");
    const int32_t sample = reader.ReadInt32("config", "latency_sample", kDefaultLatencySample);
    config.latency_sample = sample >= 0 ? static_cast<uint64_t>(sample) : kDefaultLatencySample;

    ReadTransportKeys(reader);

    R10ChannelInfo& channel = config.channelInfo[MANAGER_CHANNEL];
    channel.insts.Assign(reader.ReadString("config", "insts", ""));
    channel.options = reader.ReadString("config", "options", "norecv") == "recv";
    channel.recvall = strcmp(channel.insts.c_str(), "all") == 0;
    std::vector<CUstCharArray<32>>& selectors = m_instMap[MANAGER_CHANNEL];
    selectors.clear();
    channel.insts.SplitByChar(selectors, ',');

    VORN_LOG(LOG_DEBUG, "[%s:%d] [%s] device[%s]", config.device.c_str());
    VORN_LOG(LOG_DEBUG, "[%s:%d] [%s] snapshot[%s]", config.snapshot.c_str());
    VORN_LOG(LOG_DEBUG, "[%s:%d] [%s] log_path[%s]", config.log_path.c_str());
    VORN_LOG(LOG_DEBUG, "[%s:%d] [%s] log_level[%d]", config.log_level);
    VORN_LOG(LOG_DEBUG, "[%s:%d] [%s] cpucore[%d]", config.cpucore);
    VORN_LOG(LOG_DEBUG, "[%s:%d] [%s] exanic_cache_flag[%d]", config.exanic_cache_flag);
    VORN_LOG(LOG_DEBUG, "[%s:%d] [%s] exanic_cache_size[%d]", config.exanic_cache_size);
    VORN_LOG(LOG_DEBUG, "[%s:%d] [%s] counters_path[%s]", config.counters_path.c_str());
    VORN_LOG(LOG_DEBUG, "[%s:%d] [%s] counters_name[%s]", config.counters_name.c_str());
    VORN_LOG(LOG_DEBUG, "[%s:%d] [%s] latency_sample[%d]", static_cast<int>(config.latency_sample));
    VORN_LOG(LOG_DEBUG, "[%s:%d] [%s] work_mode[%s] transport[%s] interface[%s] socket_rcvbuf[%d]",
             config.software_decoding ? "software" : "auto", config.socket_transport ? "socket" : "card",
             config.interface_name.empty() ? "any" : config.interface_name.c_str(), config.socket_rcvbuf);
    VORN_LOG(LOG_DEBUG, "[%s:%d] [%s] channel[%d] insts[%s], options[%s], recvall[%d]", MANAGER_CHANNEL,
             channel.insts.c_str(), channel.options ? "recv" : "norecv", channel.recvall ? 1 : 0);
    for (const auto& entry : m_instMap) {
        VORN_LOG(LOG_DEBUG, "[%s:%d] [%s] channel[%d] insts count[%d]", entry.first,
                 static_cast<int>(entry.second.size()));
        for (const auto& selector : entry.second)
            VORN_LOG(LOG_DEBUG, "[%s:%d] [%s] channel[%d] insts[%s]", entry.first, selector.c_str());
    }
    return 0;
}

// work_mode, transport and interface. An unknown mode or transport takes the default with a
// warning naming the value; an interface that is no IPv4 address fails a socket start-up.
void CVornCffexMdApiImpl::ReadTransportKeys(const CIniReader& reader) {
    R10CffexConfigInfo& config = m_r10ConfigInfo;
    const std::string mode = reader.ReadString("config", "work_mode", "auto");
    config.software_decoding = mode == "software";
    if (mode != "auto" && mode != "software")
        VORN_LOG(LOG_WARNING, "[%s:%d] [%s] work_mode [%s] is neither auto nor software, auto is used.", mode.c_str());
    const std::string transport = reader.ReadString("config", "transport", "card");
    config.socket_transport = transport == "socket";
    if (transport != "card" && transport != "socket")
        VORN_LOG(LOG_WARNING, "[%s:%d] [%s] transport [%s] is neither card nor socket, card is used.",
                 transport.c_str());
    config.interface_name = reader.ReadString("config", "interface", "");
    struct in_addr parsed {};
    config.interface_valid =
        config.interface_name.empty() || inet_pton(AF_INET, config.interface_name.c_str(), &parsed) == 1;
    config.interface_addr = config.interface_name.empty() || !config.interface_valid ? 0 : ntohl(parsed.s_addr);
    config.socket_rcvbuf = ReadReceiveBufferKey(reader);
}

// socket_rcvbuf: bytes, 1 up to the most the kernel takes (it doubles the figure in an int);
// anything else is the default, with a warning naming it.
int32_t CVornCffexMdApiImpl::ReadReceiveBufferKey(const CIniReader& reader) {
    constexpr long long kMost = 0x3fffffff;
    const std::string text = reader.ReadString("config", "socket_rcvbuf", "");
    if (text.empty()) return CSocketTransport::kDefaultReceiveBufferBytes;
    char* end = nullptr;
    errno = 0;
    const long long bytes = strtoll(text.c_str(), &end, 10);
    if (errno == 0 && *end == '\0' && bytes >= 1 && bytes <= kMost) return static_cast<int32_t>(bytes);
    VORN_LOG(LOG_WARNING, "[%s:%d] [%s] socket_rcvbuf [%s] is no size from 1 to %lld bytes, %d is used.", text.c_str(),
             kMost, CSocketTransport::kDefaultReceiveBufferBytes);
    return CSocketTransport::kDefaultReceiveBufferBytes;
}

// _GetChannelCfg of a depth record's instrument code (at most 30 characters, maybe unterminated).
uint32_t CVornCffexMdApiImpl::SelectionOf(const depth_market_data_field& record) {
    const uint32_t length = static_cast<uint32_t>(strnlen(record.instrument_id, sizeof record.instrument_id));
    char code[sizeof record.instrument_id + 1] = {};
    memcpy(code, record.instrument_id, length);
    return _GetChannelCfg(code, length);
}

// 2 when the instrument is selected, 0 otherwise. Codes longer than six characters are
// option codes, admitted by product and prefix selectors only with options "recv".
uint32_t CVornCffexMdApiImpl::_GetChannelCfg(const char* pInstrumentId, uint32_t instLength) {
    const auto found = m_instMap.find(MANAGER_CHANNEL);
    if (found == m_instMap.end() || found->second.empty()) return 0;
    const R10ChannelInfo& channel = m_r10ConfigInfo.channelInfo[MANAGER_CHANNEL];
    const bool admissible = instLength <= 6 || channel.options;

    for (const auto& selector : found->second) {
        if (channel.recvall) {
            if (admissible) return 2;
            continue;
        }
        const char* text = selector.c_str();
        const uint32_t n = static_cast<uint32_t>(selector.length());
        if (n == 1 && instLength >= 2) {
            const bool product = pInstrumentId[0] == text[0] && pInstrumentId[1] >= '0' && pInstrumentId[1] <= '9';
            if (product && admissible) return 2;
            continue;
        }
        if (n == 2 || n == 6) {
            if (admissible && instLength >= n && memcmp(pInstrumentId, text, n) == 0) return 2;
            continue;
        }
        if (instLength == n && memcmp(pInstrumentId, text, n) == 0) return 2;
    }
    return 0;
}
