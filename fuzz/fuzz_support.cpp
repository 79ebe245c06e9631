#include "fuzz_support.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "CommonLog.h"
#include "VornCffexMd_interface.h"

namespace vorn_fuzz {

void QuietProcess() {
    std::string path = "/nonexistent/vorn_fuzz";
    Vorn_R10::CCommonLog::GetInstance().SetLogPath(path);
    Vorn_R10::CCommonLog::GetInstance().SetLogLevel(static_cast<Vorn_R10::ELOGLEVEL>(0));
    if (!freopen("/dev/null", "w", stdout)) abort();
}

MemoryFile::MemoryFile() : fd_(memfd_create("vorn_fuzz", MFD_CLOEXEC)) {
    if (fd_ < 0 || fchmod(fd_, 0600) != 0) abort();
    path_ = "/proc/self/fd/" + std::to_string(fd_);
}

bool MemoryFile::Write(const uint8_t* data, size_t size) {
    // Only a shorter input needs the (costly) truncation: a longer one overwrites and extends.
    const bool written = (size >= size_ || ftruncate(fd_, static_cast<off_t>(size)) == 0) &&
                         pwrite(fd_, data, size, 0) == static_cast<ssize_t>(size);
    size_ = written ? size : SIZE_MAX; // after a failure the length is unknown: truncate next time
    return written;
}

vorn_sim::SessionConfig FuzzSessionConfig() {
    vorn_sim::SessionConfig config;
    config.seed = 7;
    config.first_seqno = 1001;
    config.code_segment = -1;
    config.encrypted = true;
    return config;
}

LoadedConnector::LoadedConnector(int32_t cacheSize) {
    QuietProcess();
    vorn_sim::SyntheticSession session(FuzzSessionConfig());
    const std::vector<uint8_t> bytes = session.Snapshot().Bytes();
    MemoryFile file;
    if (!file.Write(bytes.data(), bytes.size())) abort();
    impl_.init_snaphot_params();
    init_market_data();
    if (impl_.LoadFromFile(file.Path()) != 0) abort();
    impl_.m_CurUdpNo = impl_.m_EndSnapMdField.last_md_seqno;
    Vorn_R10::R10ChannelInfo& channel = impl_.m_r10ConfigInfo.channelInfo[CVornCffexMdApiImpl::MANAGER_CHANNEL];
    channel.insts.Assign("all");
    channel.recvall = true;
    channel.options = true;
    impl_.m_instMap[CVornCffexMdApiImpl::MANAGER_CHANNEL].clear();
    channel.insts.SplitByChar(impl_.m_instMap[CVornCffexMdApiImpl::MANAGER_CHANNEL], ',');
    impl_.m_r10ConfigInfo.exanic_cache_size = cacheSize;
    impl_.m_ExanicRecvList.Init(cacheSize, 32767);
    impl_.ParseFeedChannels();
    // The callbacks read the record, so a bad pointer shows under the sanitizers.
    set_parse_data([](MarketDepthUpdate* record) { [[maybe_unused]] volatile int64_t sink = record->Volume; });
    set_parse_data_version_2([](VornCffexMdType* record) { [[maybe_unused]] volatile int64_t sink = record->trust_flag; });

    depths_ = impl_.m_depth_market_data_infos;
    prices_ = impl_.m_ins_price_infos;
    trust_ = impl_.m_depth_market_trust_flag;
    curUdpNo_ = impl_.m_CurUdpNo;
}

void LoadedConnector::Reset() {
    impl_.m_ExanicRecvList.FreeAll();
    impl_.m_depth_market_data_infos = depths_;
    impl_.m_ins_price_infos = prices_;
    impl_.m_depth_market_trust_flag = trust_;
    impl_.m_CurUdpNo = curUdpNo_;
    impl_.m_state = CVornCffexMdApiImpl::HEADER;
    impl_.SetCurrentInstrument(0);
    impl_.ResetInstrumentCache();
}

} // namespace vorn_fuzz
