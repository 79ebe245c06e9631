// The differential test of the two readers of the card's receive ring: the vendor's
// libexanic (through libvorn_card_driver.so) and ours read the same ring at the same time,
// fed one frame sequence, and must return the same sizes, error codes, bytes and timestamps.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "vorn_sim_card.h"

namespace {

// One reader process, fed commands on its standard input.
class Reader {
public:
    Reader(const char* path, const char* preload) {
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            close(in[1]);
            close(out[0]);
            if (preload != nullptr) setenv("LD_PRELOAD", preload, 1);
            execl(path, path, static_cast<char*>(nullptr));
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        to_ = fdopen(in[1], "w");
        from_ = fdopen(out[0], "r");
    }
    ~Reader() {
        for (FILE* file : {to_, from_})
            if (file) fclose(file);
        if (pid_ > 0) waitpid(pid_, nullptr, 0);
    }
    // Sends a command; the lines of its answer, or "(reader ended)" when the reader died.
    std::string Ask(const std::string& command) {
        if (!to_ || !from_) return "(no reader)";
        fprintf(to_, "%s\n", command.c_str());
        fflush(to_);
        std::string answer;
        char line[512];
        while (fgets(line, sizeof line, from_) != nullptr) {
            if (strcmp(line, ".\n") == 0) return answer;
            answer += line;
        }
        return answer + "(reader ended)";
    }

private:
    pid_t pid_ = -1;
    FILE* to_ = nullptr;
    FILE* from_ = nullptr;
};

// Frame `number` of `len` bytes: distinct bytes per frame and position.
std::vector<char> Frame(uint32_t number, size_t len) {
    std::vector<char> frame(len);
    for (size_t i = 0; i < len; ++i) frame[i] = static_cast<char>(number * 131 + i * 7 + (i >> 8));
    return frame;
}

class RingDiff : public ::testing::Test {
protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        ASSERT_EQ(0, vorn_sim_create(device.c_str())) << vorn_sim_last_error();
        card = vorn_sim_open(device.c_str());
        ASSERT_NE(nullptr, card);
    }
    void TearDown() override {
        vorn_sim_close(card);
        vorn_sim_remove(device.c_str());
    }
    void Put(uint32_t number, size_t len, unsigned flags = 0) {
        const std::vector<char> frame = Frame(number, len);
        ASSERT_EQ(0, vorn_sim_put_frame(card, 0, frame.data(), frame.size(), VORN_SIM_OVERWRITE, flags));
    }
    // Both readers answer `command` the same; their answer.
    std::string Both(const std::string& command) {
        const std::string ours = our_reader.Ask(command), theirs = vendor_reader.Ask(command);
        EXPECT_EQ(theirs, ours) << command;
        return ours;
    }
    void Acquire() { EXPECT_EQ("ok\n", Both("acquire " + device + " 0")); }
    // `count` receive calls into a buffer of `size` bytes; the results (first column) in order.
    std::vector<long> Receive(int count, size_t size) {
        const std::string answer = Both("recv " + std::to_string(count) + " " + std::to_string(size));
        std::vector<long> results;
        for (size_t at = 0; at < answer.size(); at = answer.find('\n', at) + 1) results.push_back(atol(answer.c_str() + at));
        return results;
    }

    const std::string device = "vtdiff" + std::to_string(getpid());
    vorn_sim_card_t* card = nullptr;
    Reader our_reader{RING_READER_OURS, nullptr};
    Reader vendor_reader{RING_READER_VENDOR, CARD_DRIVER_SHIM};
};

// Short frames, frames over many chunks and over 2048 bytes, around the 120-byte chunk edges.
TEST_F(RingDiff, FramesOfEverySize) {
    Acquire();
    const size_t sizes[] = {1, 59, 60, 119, 120, 121, 239, 240, 241, 1514, 2048, 2049, 4000, 9000, VORN_SIM_MAX_FRAME};
    uint32_t number = 0;
    for (size_t len : sizes) Put(number++, len);
    std::vector<long> expected(sizes, sizes + number);
    expected.push_back(0);
    EXPECT_EQ(expected, Receive(number + 1, VORN_SIM_MAX_FRAME));
}

// Errors: a buffer too small (whole chunks that fit copied), corrupt, aborted and overflowed
// frames (with their stamps and bytes), and the frames after each.
TEST_F(RingDiff, ErroneousFrames) {
    Acquire();
    uint32_t number = 0;
    for (auto [len, flags] : std::vector<std::pair<size_t, unsigned>>{
             {500, 0}, {500, 0}, {100, VORN_SIM_FRAME_FAULTY}, {700, VORN_SIM_FRAME_ABORTED}, {60, VORN_SIM_FRAME_HW_OVERFLOW}, {240, 0}})
        Put(++number, len, flags);
    EXPECT_EQ(std::vector<long>({-257}), Receive(1, 300));  // EXANIC_RX_FRAME_TRUNCATED
    EXPECT_EQ(std::vector<long>({-257}), Receive(1, 480));  // the last chunk would not fit
    EXPECT_EQ(std::vector<long>({-2, -1, -3, 240, 0}), Receive(5, 2048));
}

// A producer laps a slow reader: the next receive reports it (-256) and the reader goes on
// with frames put afterwards; the same after a lap put all at once.
TEST_F(RingDiff, ProducerLapsASlowReader) {
    Acquire();
    Put(1, 300);
    EXPECT_EQ(std::vector<long>({300}), Receive(1, 2048));
    for (uint32_t n = 0; n < 7000; ++n) Put(n, 400); // four chunks each: 28000 chunks, 1.7 laps
    EXPECT_EQ(std::vector<long>({-256, 0}), Receive(2, 2048));
    Put(9, 333);
    EXPECT_EQ(std::vector<long>({333, 0}), Receive(2, 2048));
    const std::vector<char> filler = Frame(10, 1000);
    ASSERT_GT(vorn_sim_put_lapping(card, 0, filler.data(), filler.size()), 0);
    Put(11, 60);
    EXPECT_EQ(std::vector<long>({-256, 0}), Receive(2, 2048));
    Put(12, 61);
    EXPECT_EQ(std::vector<long>({61}), Receive(1, 2048));
}

// A reader that starts while the ring is mid-lap starts after the newest frame; so does one
// that starts on a fresh ring and one after many generations.
TEST_F(RingDiff, ReaderStartsMidLap) {
    for (uint32_t n = 0; n < 3000; ++n) Put(n, 200 + n % 700);
    Acquire();
    EXPECT_EQ(std::vector<long>({0}), Receive(1, 2048));
    Put(1, 1234);
    Put(2, 64);
    EXPECT_EQ(std::vector<long>({1234, 64, 0}), Receive(3, 2048));
    Both("release");
    for (uint32_t n = 0; n < 300; ++n) { // 300 laps: the generation number wraps
        const std::vector<char> filler = Frame(n, 5000);
        ASSERT_GT(vorn_sim_put_lapping(card, 0, filler.data(), filler.size()), 0);
    }
    Put(3, 100);
    Acquire();
    Put(4, 101);
    EXPECT_EQ(std::vector<long>({101, 0}), Receive(2, 2048));
}

} // namespace
