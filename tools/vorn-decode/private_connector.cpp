#include "private_connector.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>

#include "VornCffexMd_interface.h"
#include "private_folder.h"

namespace vorn_decode {
namespace {

std::atomic<bool> g_stopping{false};

// The connector's last start-up register write: SOFT_HW_SW = 1 in software mode,
// TABLE_END_FLAG = 1 in hardware mode (register numbers of the card's firmware).
constexpr uint32_t kSoftHwSwRegister = 20, kTableEndFlagRegister = 13;

std::string UniqueDeviceName() {
    std::random_device random;
    char name[48];
    snprintf(name, sizeof name, "vorn_decode_%d_%08x", static_cast<int>(getpid()), random());
    return name;
}

// Removes the files the run left in its flat directory (configuration, log, counters), then it.
void RemoveDirectory(const std::string& dir) {
    if (DIR* listing = opendir(dir.c_str())) {
        while (const dirent* entry = readdir(listing))
            if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
                unlink((dir + "/" + entry->d_name).c_str());
        closedir(listing);
    }
    if (rmdir(dir.c_str()) != 0) fprintf(stderr, "vorn-decode: could not remove %s\n", dir.c_str());
}

} // namespace

bool StoppingOnPurpose() { return g_stopping.load(); }

PrivateConnector::~PrivateConnector() {
    if (thread_.joinable()) Stop();
    if (card_) {
        vorn_sim_set_refill(card_, 0, nullptr, nullptr);
        vorn_sim_close(card_);
    }
    if (created_) vorn_sim_remove(device_.c_str());
    if (!dir_.empty()) RemoveDirectory(dir_);
}

bool PrivateConnector::Create(const ConnectorSettings& settings, std::string& error) {
    settings_ = settings;
    dir_ = vorn_tools::MakePrivateFolder("vorn-decode.");
    if (dir_.empty()) {
        error = std::string("cannot make a private directory: ") + strerror(errno);
        return false;
    }
    device_ = UniqueDeviceName();
    if (vorn_sim_create(device_.c_str()) != 0 || !(card_ = vorn_sim_open(device_.c_str()))) {
        error = std::string("cannot create a simulated card: ") + vorn_sim_last_error();
        return false;
    }
    created_ = true;
    configPath_ = dir_ + "/decode.ini";
    std::ofstream config(configPath_);
    // work_mode = software whatever the snapshot's code segment: a hardware-mode day decodes too.
    config << "[config]\n"
           << "device = " << device_ << "\n"
           << "snapshot = " << settings.snapshot << "\n"
           << "work_mode = software\n"
           << "insts = " << settings.insts << "\n"
           << "options = " << (settings.options ? "recv" : "norecv") << "\n"
           << "log_path = " << dir_ << "\n"
           << "log_level = " << settings.log_level << "\n"
           << "counters_path = " << dir_ << "\n";
    if (!config.flush()) {
        error = "cannot write " + configPath_;
        return false;
    }
    return true;
}

std::string PrivateConnector::LibraryOutput() const {
    return settings_.library_output.empty() ? dir_ + "/library.out" : settings_.library_output;
}

bool PrivateConnector::RedirectStandardOutput() {
    fflush(stdout);
    savedStdout_ = dup(STDOUT_FILENO);
    const int fd = open(LibraryOutput().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (savedStdout_ < 0 || fd < 0) {
        if (fd >= 0) close(fd);
        return false;
    }
    dup2(fd, STDOUT_FILENO);
    close(fd);
    return true;
}

void PrivateConnector::RestoreStandardOutput() {
    if (savedStdout_ < 0) return;
    fflush(stdout);
    dup2(savedStdout_, STDOUT_FILENO);
    close(savedStdout_);
    savedStdout_ = -1;
}

PrivateConnector::Started PrivateConnector::Start() {
    if (!RedirectStandardOutput()) {
        fprintf(stderr, "vorn-decode: cannot open %s: %s\n", LibraryOutput().c_str(), strerror(errno));
        return Started::Failed;
    }
    thread_ = std::thread([this] {
        result_ = init_connector(configPath_.c_str());
        returned_ = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        if (returned_) return Started::Failed;
        if (vorn_sim_read_reg(card_, kSoftHwSwRegister) == 1) return Started::Software;
        if (vorn_sim_read_reg(card_, kTableEndFlagRegister) == 1) return Started::Hardware;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return Started::Failed;
}

bool PrivateConnector::Put(const uint8_t* frame, size_t len) {
    if (!vorn_sim_room(card_, 0, len)) return false;
    // The chunks are known to be free: the card need neither wait nor overwrite.
    return vorn_sim_put_frame(card_, 0, frame, len, VORN_SIM_OVERWRITE, 0) == 0;
}

bool PrivateConnector::FeedFromReceiveThread(void (*refill)(void* context), void* context) {
    return vorn_sim_set_refill(card_, 0, refill, context) == 0;
}

int PrivateConnector::Stop() {
    if (!thread_.joinable()) return result_;
    // A frame taken is processed before the loop looks at the stop flag again.
    while (!returned_ && vorn_sim_backlog(card_, 0) != 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
    g_stopping = true;
    if (!returned_) kill(getpid(), SIGTERM);
    thread_.join();
    g_stopping = false;
    RestoreStandardOutput();
    return result_;
}

} // namespace vorn_decode
