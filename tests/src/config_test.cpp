// Configuration keys and instrument selection, on a connector built directly.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "VornCffexMdApiImpl.h"
#include "test_files.h"

namespace {

using namespace vorn_test;

class ConfigTest : public ::testing::Test {
protected:
    // A connector that read a [config] of these keys ("<absent>": left out), logging silently to dir_.
    std::unique_ptr<CVornCffexMdApiImpl> Read(std::map<std::string, std::string> keys) {
        keys.emplace("log_path", dir_), keys.emplace("log_level", "0");
        std::string text = "[config]\n";
        for (const auto& key : keys)
            if (key.second != "<absent>") text += key.first + " = " + key.second + "\n";
        std::ofstream(dir_ + "/md.ini", std::ios::trunc) << text;
        auto impl = std::make_unique<CVornCffexMdApiImpl>();
        impl->m_configFileName.Assign((dir_ + "/md.ini").c_str());
        EXPECT_EQ(0, impl->_ReadConfig());
        return impl;
    }
    const Vorn_R10::R10CffexConfigInfo& Config(std::map<std::string, std::string> keys) {
        return (last_ = Read(std::move(keys)))->m_r10ConfigInfo;
    }

    TempDir temp_;
    const std::string dir_ = temp_.Path();
    std::unique_ptr<CVornCffexMdApiImpl> last_;
};

TEST_F(ConfigTest, DefaultsAndChecks) {
    const Vorn_R10::R10CffexConfigInfo& config = Config({{"log_level", "<absent>"}});
    EXPECT_EQ(std::make_tuple(std::string("exanic0"), 15, -1, 1, 10, std::string(""), false, false),
              std::make_tuple(std::string(config.device), +config.log_level, +config.cpucore, +config.exanic_cache_flag, +config.exanic_cache_size,
                              std::string(config.channelInfo[0].insts.c_str()), config.channelInfo[0].options, config.channelInfo[0].recvall));
    ASSERT_EQ(1u, last_->m_instMap.count(0)); // the channel's entry exists even when empty
    EXPECT_TRUE(last_->m_instMap.at(0).empty());
    for (const auto& [size, taken] : std::vector<std::pair<const char*, int>>{
             {"0", 10}, {"101", 10}, {"-5", 10}, {"abc", 10}, {"", 10}, {"1", 1}, {"57", 57}, {"100", 100}})
        EXPECT_EQ(taken, Config({{"exanic_cache_size", size}}).exanic_cache_size) << size;

    const std::string longList = "IF," + std::string(5000, 'x');
    EXPECT_EQ(longList.substr(0, 4095), Config({{"insts", longList}}).channelInfo[0].insts.c_str());
    ASSERT_EQ(2u, last_->m_instMap.at(0).size());
    EXPECT_EQ(std::string(31, 'x'), last_->m_instMap.at(0)[1].c_str());
    for (const char* options : {"recv", "RECV", "recvall"})
        EXPECT_EQ(std::string(options) == "recv", Config({{"options", options}}).channelInfo[0].options) << options;
    for (const char* insts : {"all", "all,IF", "All"})
        EXPECT_EQ(std::string(insts) == "all", Config({{"insts", insts}}).channelInfo[0].recvall) << insts;
}

// work_mode and transport take their one other value exactly, anything else the default;
// interface must be a dotted IPv4 address (host order kept) or absent; socket_rcvbuf a size in range.
TEST_F(ConfigTest, WorkModeTransportAndInterface) {
    for (const char* mode : {"software", "auto", "Software", "hardware", "", "<absent>"})
        EXPECT_EQ(std::string(mode) == "software", Config({{"work_mode", mode}}).software_decoding) << mode;
    for (const char* transport : {"socket", "card", "SOCKET", "sockets", "", "<absent>"})
        EXPECT_EQ(std::string(transport) == "socket", Config({{"transport", transport}}).socket_transport) << transport;
    for (const auto& [text, valid, address] : std::vector<std::tuple<const char*, bool, uint32_t>>{
             {"<absent>", true, 0}, {"127.1.2.3", true, 0x7F010203u}, {"lo", false, 0}, {"127.1.2", false, 0}, {"256.0.0.1", false, 0}, {"any", false, 0}}) {
        const Vorn_R10::R10CffexConfigInfo& config = Config({{"interface", text}});
        EXPECT_EQ(valid, config.interface_valid) << text;
        if (valid) { EXPECT_EQ(address, config.interface_addr) << text; }
    }
    for (const auto& [text, bytes] : std::vector<std::pair<const char*, int>>{{"0", 8388608}, {"1", 1}, {"1073741823", 1073741823}, {"1073741824", 8388608}, {"64k", 8388608}})
        EXPECT_EQ(bytes, Config({{"socket_rcvbuf", text}}).socket_rcvbuf) << text;
}

// The configuration lines after the log path took effect, in order, with the checked size;
// without the LOG_DEBUG bit there are none.
TEST_F(ConfigTest, DebugLinesReportTheConfiguration) {
    testing::internal::CaptureStdout();
    Read({{"device", "exanic3"}, {"log_level", "8"}, {"cpucore", "1"}, {"exanic_cache_flag", "0"},
          {"exanic_cache_size", "101"}, {"insts", "IF,,IC2612"}, {"options", "recv"}, {"snapshot", "/srv/day.bin"}});
    const std::string out = testing::internal::GetCapturedStdout();
    const std::vector<std::string> expected = {
        " device[exanic3]", " snapshot[/srv/day.bin]", " log_path[" + dir_ + "]", " log_level[8]", " cpucore[1]",
        " exanic_cache_flag[0]", " exanic_cache_size[10]", " counters_path[/dev/shm]", " counters_name[]",
        " latency_sample[64]", " work_mode[auto] transport[card] interface[any] socket_rcvbuf[8388608]",
        " channel[0] insts[IF,,IC2612], options[recv], recvall[0]", " channel[0] insts count[3]",
        " channel[0] insts[IF]", " channel[0] insts[]", " channel[0] insts[IC2612]"};
    EXPECT_EQ(expected, Messages(out, "_ReadConfig"));

    testing::internal::CaptureStdout();
    Read({{"log_level", "7"}});
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
}

TEST_F(ConfigTest, ChannelSelection) {
    const struct { const char *insts, *options, *code; uint32_t expected; } cases[] = {
        // No list: nothing selected. "all": futures always, option codes (longer than six) only with recv.
        {"<absent>", "<absent>", "IF2612", 0}, {"", "recv", "IF2612", 0}, {"all", "<absent>", "IF2612", 2}, {"all", "<absent>", "T2612", 2},
        {"all", "<absent>", "IO2612-C-4000", 0}, {"all", "recv", "IO2612-C-4000", 2}, {"all", "RECV", "IO2612-C-4000", 0},
        // Two letters: the product.
        {"IF", "<absent>", "IF2612", 2}, {"IF", "<absent>", "IF", 2}, {"IF", "<absent>", "IC2612", 0}, {"IF", "<absent>", "if2612", 0},
        {"IF", "<absent>", "I", 0}, {"IF", "<absent>", "IF2612-C-4000", 0}, {"IF", "recv", "IF2612-C-4000", 2},
        // One letter: that letter followed by a digit; a one-character code is matched exactly.
        {"T", "<absent>", "T2612", 2}, {"T", "<absent>", "TF2612", 0}, {"T", "<absent>", "TS2612", 0}, {"T", "<absent>", "IF2612", 0},
        {"T", "<absent>", "T", 2}, {"T", "<absent>", "T2612-C-100", 0}, {"T", "recv", "T0612-C-100", 2},
        // Six characters: the contract, and with recv its options.
        {"IF2612", "<absent>", "IF2612", 2}, {"IF2612", "<absent>", "IF2609", 0}, {"IF2612", "<absent>", "IF261", 0},
        {"IF2612", "<absent>", "IF2612-C-4000", 0}, {"IF2612", "recv", "IF2612-C-4000", 2},
        // Three to five characters and full option codes: exact codes only, whatever options says.
        {"IF261", "recv", "IF261", 2}, {"IF261", "recv", "IF2612", 0}, {"TS2", "<absent>", "TS2", 2},
        {"IO2612-C-4000", "<absent>", "IO2612-C-4000", 2}, {"IO2612-C-4000", "recv", "IO2612-C-40000", 0},
        {"IO2612-C-4000", "recv", "IO2612-C-400", 0}, {"IF2612,IF", "<absent>", "I", 0}, // the last: compared within its length
        // Lists: any selector may decide; a blank stays in the next selector; adjacent or leading commas make an
        // empty selector, which selects only the empty code; a trailing comma makes none.
        {"IF,IC2612,T", "<absent>", "IC2612", 2}, {"IF,IC2612,T", "<absent>", "T9009", 2}, {"IF,IC2612,T", "<absent>", "IC2609", 0},
        {"IF, IC", "<absent>", "IC2612", 0}, {"IF, IC", "<absent>", " IC", 2}, {"IF,,IC", "<absent>", "", 2}, {"IF,,IC", "<absent>", "IC2612", 2},
        {"IF,IC", "<absent>", "", 0}, {",IF", "<absent>", "", 2}, {"IF,", "<absent>", "", 0},
        // "all" among others is a three-character exact selector.
        {"all,IF", "<absent>", "all", 2}, {"all,IF", "<absent>", "IF2612", 2}, {"all,IF", "<absent>", "IC2612", 0}, {"all,IF", "recv", "IO2612-C-4000", 0},
    };
    for (const auto& c : cases) {
        auto impl = Read({{"insts", c.insts}, {"options", c.options}});
        // The code sits in a buffer of its own length: selection must never read past it.
        const size_t length = strlen(c.code);
        const std::unique_ptr<char[]> code(new char[length ? length : 1]);
        memcpy(code.get(), c.code, length);
        EXPECT_EQ(c.expected, impl->_GetChannelCfg(code.get(), static_cast<uint32_t>(length)))
            << "insts[" << c.insts << "] options[" << c.options << "] code[" << c.code << "]";
    }
}

} // namespace
