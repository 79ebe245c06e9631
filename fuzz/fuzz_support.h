// Shared set-up of the libFuzzer targets: a quiet log, in-memory input files and a connector
// loaded from a synthetic session's snapshot, with its mutable state restorable per input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>

#include "VornCffexMdApiImpl.h"
#include "synthetic_session.h"

namespace vorn_fuzz {

// Log level 0 and no log file (its directory does not exist), standard output to /dev/null
// (start-up diagnostics print byte dumps there): an input costs no file write.
void QuietProcess();

// A file in memory, mode 0600 and owned by this process, opened by path as a disk file would be.
class MemoryFile {
public:
    MemoryFile();
    // "/proc/self/fd/N" of the file.
    const std::string& Path() const { return path_; }
    // Replaces the content with `data`; false when that failed.
    bool Write(const uint8_t* data, size_t size);

private:
    int fd_ = -1;
    size_t size_ = 0;
    std::string path_;
};

// The session every target starts from: the sample cipher segment and encrypted packets, so
// the decoder runs the day's code segment.
vorn_sim::SessionConfig FuzzSessionConfig();

// A connector in the state start-up leaves in software mode: snapshot of the fuzz session
// loaded, descriptors built, every instrument selected, feed channels parsed, reorder pool made.
class LoadedConnector {
public:
    explicit LoadedConnector(int32_t cacheSize = 4);
    CVornCffexMdApiImpl& Impl() { return impl_; }
    // Restores everything the data path changes, so every input starts from the same state.
    void Reset();

private:
    CVornCffexMdApiImpl impl_;
    decltype(CVornCffexMdApiImpl::m_depth_market_data_infos) depths_;
    std::unordered_map<int32_t, ins_price_encode_info_field> prices_;
    std::unordered_map<int32_t, int64_t> trust_;
    uint32_t curUdpNo_ = 0;
};

} // namespace vorn_fuzz
