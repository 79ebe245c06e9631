#include "counters_reader.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <ctime>

#include "tick_clock.h"

namespace Vorn_R10 {

namespace {

constexpr uint64_t kHeaderBytes = sizeof(SCountersHeader);
constexpr int64_t kRetryNs = 10 * 1000 * 1000;

// Relaxed loads of whole words (the writer stores whole words), copied out byte-wise so the
// copy may hold texts.
void CopyWords(void* to, const void* from, size_t bytes) {
    char* d = static_cast<char*>(to);
    const uint64_t* s = static_cast<const uint64_t*>(from);
    for (size_t i = 0; i < bytes / 8; ++i) {
        const uint64_t word = __atomic_load_n(&s[i], __ATOMIC_RELAXED);
        memcpy(d + 8 * i, &word, sizeof word);
    }
}

int64_t MonotonicNs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

} // namespace

CCountersReader::~CCountersReader() { Close(); }

void CCountersReader::Close() {
    if (header_) munmap(const_cast<SCountersHeader*>(header_), mappedBytes_);
    if (fd_ >= 0) close(fd_);
    header_ = nullptr;
    mappedBytes_ = 0;
    fd_ = -1;
}

bool CCountersReader::Open(const std::string& path, std::string& error) {
    Close();
    path_ = path;
    fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
        error = path + ": " + strerror(errno);
        return false;
    }
    struct {
        uint64_t magic;
        uint32_t layout_version;
        uint32_t header_bytes;
    } head{};
    const ssize_t n = pread(fd_, &head, sizeof head, 0);
    if (n != static_cast<ssize_t>(sizeof head) || head.magic != kCountersMagic) {
        error = path + ": not a vorn_r10 counters file";
    } else if (head.layout_version != kCountersLayoutVersion) {
        error = path + ": counters layout version " + std::to_string(head.layout_version) +
                " is unknown to this reader, which reads version " + std::to_string(kCountersLayoutVersion) +
                " (use the tools of the library's own release)";
    } else if (head.header_bytes != kHeaderBytes) {
        error = path + ": counters header of " + std::to_string(head.header_bytes) + " bytes, expected " +
                std::to_string(kHeaderBytes);
    } else if (MapAll(error)) {
        return true;
    }
    Close();
    return false;
}

bool CCountersReader::WriterHoldsLock() const { return fd_ >= 0 && CountersFileLocked(fd_); }

bool CCountersReader::MapAll(std::string& error) {
    struct stat st;
    if (fstat(fd_, &st) != 0) {
        error = path_ + ": " + strerror(errno);
        return false;
    }
    const uint64_t bytes = static_cast<uint64_t>(st.st_size);
    if (bytes < kHeaderBytes) {
        error = path_ + ": counters file cut short (" + std::to_string(bytes) + " bytes)";
        return false;
    }
    void* block = mmap(nullptr, bytes, PROT_READ, MAP_SHARED, fd_, 0);
    if (block == MAP_FAILED) {
        error = path_ + ": " + strerror(errno);
        return false;
    }
    if (header_) munmap(const_cast<SCountersHeader*>(header_), mappedBytes_);
    header_ = static_cast<const SCountersHeader*>(block);
    mappedBytes_ = bytes;
    return true;
}

bool CCountersReader::Read(SCountersSnapshot& out, std::string& error) {
    if (!header_) {
        error = path_ + ": not open";
        return false;
    }
    // The writer grows the file once, when it learns the selected instruments.
    const uint64_t total = __atomic_load_n(&header_->total_bytes, __ATOMIC_ACQUIRE);
    if (total > mappedBytes_ && !MapAll(error)) return false;

    CopyWords(&out.header, header_, kHeaderBytes);
    constexpr size_t kCutFrom = offsetof(SCountersHeader, startup);
    constexpr size_t kCutBytes = offsetof(SCountersHeader, histograms) - kCutFrom;
    char* cutTo = reinterpret_cast<char*>(&out.header) + kCutFrom;
    const char* cutFrom = reinterpret_cast<const char*>(header_) + kCutFrom;
    out.consistent = false;
    const int64_t deadline = MonotonicNs() + kRetryNs;
    for (uint32_t attempt = 1; !out.consistent; ++attempt) {
        const uint64_t before = __atomic_load_n(&header_->sequence, __ATOMIC_ACQUIRE);
        CopyWords(cutTo, cutFrom, kCutBytes);
        __atomic_thread_fence(__ATOMIC_ACQUIRE);
        const uint64_t after = __atomic_load_n(&header_->sequence, __ATOMIC_RELAXED);
        out.consistent = before == after && (before & 1) == 0;
        if (!out.consistent && attempt % 64 == 0 && MonotonicNs() > deadline) break;
    }

    const uint64_t count = out.header.instrument_count;
    const uint64_t room = (mappedBytes_ - kHeaderBytes) / sizeof(SInstrumentCounters);
    out.instruments.resize(count < room ? count : room);
    CopyWords(out.instruments.data(), reinterpret_cast<const char*>(header_) + kHeaderBytes,
              out.instruments.size() * sizeof(SInstrumentCounters));
    return true;
}

double TicksToNs(const SCountersHeader& header, uint64_t ticks) {
    if (!header.ticks_per_second) return 0;
    return static_cast<double>(ticks) * 1e9 / static_cast<double>(header.ticks_per_second);
}

int64_t TicksToRealtimeNs(const SCountersHeader& header, uint64_t ticks) {
    if (!ticks) return 0;
    const double sinceAnchor = TicksToNs(header, ticks - header.anchor_ticks);
    return header.anchor_realtime_ns + static_cast<int64_t>(sinceAnchor);
}

uint64_t HistogramPercentile(const SLatencyHistogram& histogram, double q) {
    if (!histogram.count) return 0;
    uint64_t rank = static_cast<uint64_t>(q * static_cast<double>(histogram.count) + 0.999999);
    if (rank < 1) rank = 1;
    if (rank >= histogram.count) return histogram.max_ticks;
    uint64_t seen = 0;
    for (uint32_t b = 0; b < kHistogramBuckets; ++b) {
        seen += histogram.buckets[b];
        if (seen < rank) continue;
        const uint64_t low = HistogramBucketLow(b);
        const uint64_t high = b + 1 < kHistogramBuckets ? HistogramBucketLow(b + 1) - 1 : ~uint64_t{0};
        const uint64_t middle = low + (high - low) / 2;
        return middle < histogram.max_ticks ? middle : histogram.max_ticks;
    }
    return histogram.max_ticks;
}

bool ReadCountersFile(const std::string& path, SCountersFile& out, std::string& error) {
    CCountersReader reader;
    if (!reader.Open(path, error) || !reader.Read(out.snapshot, error)) return false;
    out.path = path;
    out.alive = reader.WriterHoldsLock();
    return true;
}

std::vector<SCountersFile> ReadCountersFolder(const std::string& folder, std::vector<std::string>* errors) {
    std::vector<SCountersFile> files;
    for (const std::string& path : FindCountersFiles(folder)) {
        SCountersFile file;
        std::string error;
        if (ReadCountersFile(path, file, error))
            files.push_back(std::move(file));
        else if (errors)
            errors->push_back(error);
    }
    return files;
}

bool IsLive(const SCountersFile& file) {
    const uint64_t state = file.snapshot.header.startup.run_state;
    return file.alive && (state == COUNTERS_RUNNING || state == COUNTERS_STARTING);
}

std::string ConnectorName(const SCountersFile& file) {
    const SCountersHeader& h = file.snapshot.header;
    const std::string name(h.name, strnlen(h.name, sizeof h.name));
    if (!name.empty()) return h.pid_in_name ? name + "." + std::to_string(h.pid) : name;
    std::string base = file.path.substr(file.path.rfind('/') + 1);
    const size_t prefix = strlen(kCountersFilePrefix), suffix = strlen(kCountersFileSuffix);
    if (base.size() >= prefix + suffix) base = base.substr(prefix, base.size() - prefix - suffix);
    return base;
}

} // namespace Vorn_R10
