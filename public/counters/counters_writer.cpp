#include "counters_writer.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "counters_files.h"

namespace Vorn_R10 {

namespace {

constexpr uint64_t kHeaderBytes = sizeof(SCountersHeader);
// Wire-to-callback figures beyond this are taken for a clock that does not follow the host's.
constexpr int64_t kPlausibleWireNs = 1000000000;
// Instrument numbers below this are indexed by a dense array.
constexpr int64_t kDenseInstruments = 1 << 16;

void CopyText(char* to, size_t capacity, const std::string& text) {
    const size_t n = text.size() < capacity - 1 ? text.size() : capacity - 1;
    memcpy(to, text.data(), n);
    memset(to + n, 0, capacity - n);
}

void InitHeader(SCountersHeader& h) {
    h.magic = kCountersMagic;
    h.layout_version = kCountersLayoutVersion;
    h.header_bytes = static_cast<uint32_t>(kHeaderBytes);
    h.total_bytes = kHeaderBytes;
    h.pid = getpid();
    h.process_start = ProcessStartTime(h.pid);
    h.ticks_per_second = CalibrateTicksPerSecond();
    h.anchor_ticks = ReadTicks();
    h.anchor_realtime_ns = RealtimeNs();
    h.instruments_offset = kHeaderBytes;
    CopyText(h.histograms[HISTOGRAM_RECV_TO_CALLBACK].name, sizeof h.histograms[0].name, "recv_to_callback");
    h.histograms[HISTOGRAM_RECV_TO_CALLBACK].sample_every = 1;
}

} // namespace

CCountersWriter::CCountersWriter() {
    void* block = mmap(nullptr, kHeaderBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) abort();
    mappedBytes_ = kHeaderBytes;
    header_ = static_cast<SCountersHeader*>(block);
    InitHeader(*header_);
    Rebind();
}

CCountersWriter::~CCountersWriter() {
    if (header_->startup.run_state != COUNTERS_START_FAILED) SetRunState(COUNTERS_ENDED);
    BeginStartupWrite();
    header_->startup.ended_realtime_ns = RealtimeNs();
    EndStartupWrite();
    munmap(header_, mappedBytes_);
    if (removeAtExit_) unlink(path_.c_str());
    if (fd_ >= 0) close(fd_);
}

int CCountersWriter::LockFile(const std::string& path, bool& busy, std::string& error) {
    busy = false;
    // A writer that takes the file over renames a new one onto the name, and a removal unlinks
    // it: a lock won on a file the name no longer names is let go and the name opened again.
    for (int attempt = 0; attempt < 16; ++attempt) {
        const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, kCountersFileMode);
        if (fd < 0) {
            error = path + ": " + strerror(errno);
            return -1;
        }
        if (!LockCountersFile(fd)) {
            const int why = errno;
            close(fd);
            if (why == EAGAIN) {
                busy = true;
            } else {
                error = path + ": " + strerror(why);
            }
            return -1;
        }
        if (NamesFile(path, fd)) return fd;
        close(fd);
    }
    error = path + ": replaced again and again while being opened";
    return -1;
}

int CCountersWriter::MakeLockedTemporary(const std::string& path, std::string& temporary, std::string& error) {
    for (int attempt = 0; attempt < 16; ++attempt) {
        temporary = CountersTemporaryPath(path);
        const int fd = open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, kCountersFileMode);
        if (fd < 0) {
            error = temporary + ": " + strerror(errno);
            return -1;
        }
        // A removal of leftovers may have taken the new file before this lock: then it is gone.
        if (LockCountersFile(fd) && NamesFile(temporary, fd)) return fd;
        close(fd);
    }
    error = path + ": no temporary file could be kept beside it";
    return -1;
}

int CCountersWriter::Publish(const std::string& path, std::string& error) {
    std::string temporary;
    const int fd = MakeLockedTemporary(path, temporary, error);
    if (fd < 0) return -1;
    // The pages are reserved before they are touched: on a full tmpfs a store into a page of a
    // file that was only sized would kill the process with SIGBUS.
    void* block = MAP_FAILED;
    int failure = posix_fallocate(fd, 0, static_cast<off_t>(mappedBytes_));
    if (failure == 0) {
        block = mmap(nullptr, mappedBytes_, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (block == MAP_FAILED) failure = errno;
    }
    if (failure == 0) {
        memcpy(block, header_, mappedBytes_);
        if (rename(temporary.c_str(), path.c_str()) != 0) failure = errno;
    }
    if (failure != 0) {
        error = temporary + ": " + strerror(failure);
        if (block != MAP_FAILED) munmap(block, mappedBytes_);
        unlink(temporary.c_str());
        close(fd);
        return -1;
    }
    munmap(header_, mappedBytes_);
    header_ = static_cast<SCountersHeader*>(block);
    Rebind();
    return fd;
}

bool CCountersWriter::Create(const std::string& folder, const std::string& name, const std::string& device,
                             std::string& error, std::string& warning) {
    if (fd_ >= 0) {
        error = path_ + ": counters file made already";
        return false;
    }
    const std::string path = CountersFilePath(folder, name, device);
    bool busy = false;
    int held = LockFile(path, busy, error);
    if (held < 0 && !busy) return false;
    const std::string pidPath = CountersFilePath(folder, name, device, getpid());
    if (busy) {
        warning = path + " belongs to a running process; counters go to " + pidPath;
    } else {
        // An empty file is one this call (or a start that died at once) created.
        struct {
            uint64_t magic;
            uint32_t layout_version;
        } head{};
        const ssize_t n = pread(held, &head, sizeof head, 0);
        if (n != 0 && (n != static_cast<ssize_t>(sizeof head) || head.magic != kCountersMagic ||
                       head.layout_version != kCountersLayoutVersion)) {
            warning = path + " is not a counters file of layout version " + std::to_string(kCountersLayoutVersion) +
                      " and is left alone; counters go to " + pidPath;
            close(held);
            held = -1;
        }
    }
    const bool pidInName = held < 0;
    const std::string& target = pidInName ? pidPath : path;
    if (pidInName && (held = LockFile(target, busy, error)) < 0) {
        if (busy) error = target + ": held by another writer of this process";
        return false;
    }
    CopyText(header_->device, sizeof header_->device, device);
    CopyText(header_->name, sizeof header_->name, name);
    header_->pid_in_name = pidInName ? 1 : 0;
    const int fd = Publish(target, error);
    if (fd < 0) {
        // An empty file under the name is one this call (or a start that died at once) made:
        // removed while still locked.
        struct stat heldStat;
        if (fstat(held, &heldStat) == 0 && heldStat.st_size == 0) unlink(target.c_str());
        close(held);
        return false;
    }
    // Closed after the new file took the name: a start waiting on the old one finds it replaced.
    close(held);
    fd_ = fd;
    path_ = target;
    removeAtExit_ = pidInName;
    return true;
}

void CCountersWriter::Rebind() {
    values_ = &header_->values;
    instruments_ = reinterpret_cast<SInstrumentCounters*>(reinterpret_cast<char*>(header_) + kHeaderBytes);
    ++entriesGeneration_;
}

bool CCountersWriter::Remap(uint64_t bytes, std::string& error) {
    // Reserved before the pages are touched (see Publish).
    const int failure = fd_ >= 0 ? posix_fallocate(fd_, 0, static_cast<off_t>(bytes)) : 0;
    if (failure != 0) {
        error = path_ + ": " + strerror(failure);
        return false;
    }
    void* block = mremap(header_, mappedBytes_, bytes, MREMAP_MAYMOVE);
    if (block == MAP_FAILED) {
        error = std::string("counters: ") + strerror(errno);
        return false;
    }
    header_ = static_cast<SCountersHeader*>(block);
    mappedBytes_ = bytes;
    Rebind();
    return true;
}

bool CCountersWriter::SetInstruments(const std::vector<SInstrumentName>& instruments, std::string& error) {
    const uint64_t bytes = kHeaderBytes + instruments.size() * sizeof(SInstrumentCounters);
    if (bytes > mappedBytes_ && !Remap(bytes, error)) return false;
    denseIndex_.clear();
    sparseIndex_.clear();
    ++entriesGeneration_;
    BeginStartupWrite();
    for (size_t i = 0; i < instruments.size(); ++i) {
        SInstrumentCounters& entry = instruments_[i];
        memset(&entry, 0, sizeof entry);
        CopyText(entry.instrument_id, sizeof entry.instrument_id, instruments[i].instrument_id);
        const int64_t id = instruments[i].inst_id;
        entry.inst_id = id;
        const uint32_t slot = static_cast<uint32_t>(i + 1);
        if (id >= 0 && id < kDenseInstruments) {
            if (static_cast<size_t>(id) >= denseIndex_.size()) denseIndex_.resize(static_cast<size_t>(id) + 1, 0);
            denseIndex_[static_cast<size_t>(id)] = slot;
        } else {
            sparseIndex_[id] = slot;
        }
    }
    header_->instrument_count = instruments.size();
    EndStartupWrite();
    // Published last: a reader that sees the new size finds the entries complete.
    __atomic_store_n(&header_->total_bytes, bytes, __ATOMIC_RELEASE);
    return true;
}

SInstrumentCounters* CCountersWriter::SparseEntry(int64_t instId) {
    if (sparseIndex_.empty()) return nullptr;
    const auto found = sparseIndex_.find(instId);
    return found == sparseIndex_.end() ? nullptr : instruments_ + found->second - 1;
}

void CCountersWriter::AddSample(SLatencyHistogram& h, uint64_t ticks) {
    Bump(h.buckets[HistogramBucketOf(ticks)]);
    Store(h.sum_ticks, h.sum_ticks + ticks);
    if (ticks > h.max_ticks) Store(h.max_ticks, ticks);
    Bump(h.count);
}

void CCountersWriter::EndSample(int64_t wireNs) {
    const uint64_t ticks = ReadTicks() - sampleStart_;
    sampleStart_ = 0;
    if (values_->updates == sampleUpdates_) {
        countdown_ = 1; // nothing was delivered: measure the next frame instead
        return;
    }
    AddSample(header_->histograms[HISTOGRAM_RECV_TO_CALLBACK], ticks);
    if (wireNs == 0) return;
    // Wire time is host time only where the card's (or kernel's) clock follows the host's:
    // a figure below zero or beyond a second says it does not, and is counted instead.
    const int64_t wireToCallback = RealtimeNs() - wireNs;
    if (wireToCallback < 0 || wireToCallback > kPlausibleWireNs) {
        Bump(values_->wire_clock_unsynced);
        return;
    }
    // In ticks like the library's own share, so that readers convert both alike (at most
    // 1e9 ns times a tick rate below 1.8e10 per second: no overflow).
    const uint64_t wireTicks = static_cast<uint64_t>(wireToCallback) * header_->ticks_per_second / 1000000000u;
    AddSample(header_->histograms[HISTOGRAM_WIRE_TO_CALLBACK], wireTicks);
}

void CCountersWriter::SetLatencySampling(uint64_t every) {
    sampleEvery_ = every ? every : ~uint64_t{0};
    countdown_ = sampleEvery_;
    BeginStartupWrite();
    header_->histograms[HISTOGRAM_RECV_TO_CALLBACK].sample_every = every;
    if (header_->histograms[HISTOGRAM_WIRE_TO_CALLBACK].name[0])
        header_->histograms[HISTOGRAM_WIRE_TO_CALLBACK].sample_every = every;
    EndStartupWrite();
}

void CCountersWriter::EnableWireToCallback(const char* name) {
    SLatencyHistogram& h = header_->histograms[HISTOGRAM_WIRE_TO_CALLBACK];
    BeginStartupWrite();
    CopyText(h.name, sizeof h.name, name);
    h.sample_every = header_->histograms[HISTOGRAM_RECV_TO_CALLBACK].sample_every;
    EndStartupWrite();
}

void CCountersWriter::SetSocketReceiveBuffer(uint64_t bytes) {
    BeginStartupWrite();
    header_->startup.socket_rcvbuf = bytes;
    EndStartupWrite();
}

void CCountersWriter::SetTransport(ETransport transport) {
    BeginStartupWrite();
    header_->startup.transport = transport;
    EndStartupWrite();
}

void CCountersWriter::BeginStartupWrite() { OpenChanges(); }

void CCountersWriter::EndStartupWrite() { CloseChanges(); }

void CCountersWriter::StartupStep(EStartupStep step) {
    BeginStartupWrite();
    header_->startup.steps |= step;
    EndStartupWrite();
}

void CCountersWriter::SetRunState(ECountersRunState state) {
    BeginStartupWrite();
    header_->startup.run_state = state;
    EndStartupWrite();
}

void CCountersWriter::SetSnapshot(const std::string& file, int64_t tradeDate) {
    BeginStartupWrite();
    CopyText(header_->startup.snapshot_file, sizeof header_->startup.snapshot_file, file);
    header_->startup.trade_date = tradeDate;
    header_->startup.steps |= STARTUP_SNAPSHOT_LOADED;
    EndStartupWrite();
}

void CCountersWriter::SetWorkMode(uint64_t workMode) {
    BeginStartupWrite();
    header_->startup.work_mode = workMode;
    EndStartupWrite();
}

void CCountersWriter::SetVersions(const char* software, uint64_t firmware, uint64_t verdict) {
    BeginStartupWrite();
    CopyText(header_->startup.software_version, sizeof header_->startup.software_version, software);
    header_->startup.firmware_version = firmware;
    header_->startup.version_check = verdict;
    EndStartupWrite();
}

} // namespace Vorn_R10
