// Configuration keys and instrument selection, on a connector built directly.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "VornCffexMdApiImpl.h"

namespace {

class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/vorn_cfg_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(name));
        dir_ = name;
    }
    void TearDown() override {
        const std::string command = "rm -rf '" + dir_ + "'";
        if (system(command.c_str()) != 0) ADD_FAILURE() << "could not remove " << dir_;
    }

    // A connector that has read a [config] section of these keys. log_path is the test's
    // directory and the log is silenced unless the keys say otherwise.
    std::unique_ptr<CVornCffexMdApiImpl> Read(std::map<std::string, std::string> keys) {
        if (!keys.count("log_path")) keys["log_path"] = dir_;
        if (!keys.count("log_level")) keys["log_level"] = "0";
        std::string text = "[config]\n";
        for (const auto& key : keys)
            if (key.second != "<absent>") text += key.first + " = " + key.second + "\n";
        const std::string path = dir_ + "/md.ini";
        std::ofstream(path, std::ios::trunc) << text;
        auto impl = std::make_unique<CVornCffexMdApiImpl>();
        impl->m_configFileName.Assign(path.c_str());
        EXPECT_EQ(0, impl->_ReadConfig());
        return impl;
    }

    // Selection result for `code` under these insts/options values.
    uint32_t Selected(const std::string& insts, const std::string& options, const std::string& code) {
        auto impl = Read({{"insts", insts}, {"options", options}});
        return impl->_GetChannelCfg(code.c_str(), static_cast<uint32_t>(code.size()));
    }

    std::string dir_;
};

TEST_F(ConfigTest, DefaultsAndChecks) {
    auto impl = Read({{"log_level", "<absent>"}});
    const Vorn_R10::R10CffexConfigInfo& config = impl->m_r10ConfigInfo;
    EXPECT_EQ("exanic0", config.device);
    EXPECT_EQ(15, config.log_level);
    EXPECT_EQ(-1, config.cpucore);
    EXPECT_EQ(1, config.exanic_cache_flag);
    EXPECT_EQ(10, config.exanic_cache_size);
    EXPECT_STREQ("", config.channelInfo[0].insts.c_str());
    EXPECT_FALSE(config.channelInfo[0].options);
    EXPECT_FALSE(config.channelInfo[0].recvall);
    ASSERT_EQ(1u, impl->m_instMap.count(0)); // the channel's entry exists even when empty
    EXPECT_TRUE(impl->m_instMap.at(0).empty());

    for (const char* size : {"0", "101", "-5", "abc", ""})
        EXPECT_EQ(10, Read({{"exanic_cache_size", size}})->m_r10ConfigInfo.exanic_cache_size) << size;
    for (int size : {1, 57, 100})
        EXPECT_EQ(size, Read({{"exanic_cache_size", std::to_string(size)}})->m_r10ConfigInfo.exanic_cache_size);

    const std::string longList = "IF," + std::string(5000, 'x');
    auto cut = Read({{"insts", longList}});
    EXPECT_EQ(longList.substr(0, 4095), cut->m_r10ConfigInfo.channelInfo[0].insts.c_str());
    ASSERT_EQ(2u, cut->m_instMap.at(0).size());
    EXPECT_EQ(std::string(31, 'x'), cut->m_instMap.at(0)[1].c_str());

    EXPECT_TRUE(Read({{"options", "recv"}})->m_r10ConfigInfo.channelInfo[0].options);
    EXPECT_FALSE(Read({{"options", "RECV"}})->m_r10ConfigInfo.channelInfo[0].options);
    EXPECT_FALSE(Read({{"options", "recvall"}})->m_r10ConfigInfo.channelInfo[0].options);
    EXPECT_TRUE(Read({{"insts", "all"}})->m_r10ConfigInfo.channelInfo[0].recvall);
    EXPECT_FALSE(Read({{"insts", "all,IF"}})->m_r10ConfigInfo.channelInfo[0].recvall);
    EXPECT_FALSE(Read({{"insts", "All"}})->m_r10ConfigInfo.channelInfo[0].recvall);
}

TEST_F(ConfigTest, UnreadableFile) {
    CVornCffexMdApiImpl impl;
    const std::string path = dir_ + "/absent.ini";
    impl.m_configFileName.Assign(path.c_str());
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, impl._ReadConfig());
    EXPECT_EQ("ReadConfig is " + path + " failed \n", testing::internal::GetCapturedStdout());
}

// The configuration lines after the log path took effect, in order, with the checked size.
TEST_F(ConfigTest, DebugLinesReportTheConfiguration) {
    testing::internal::CaptureStdout();
    Read({{"device", "exanic3"}, {"log_level", "8"}, {"cpucore", "1"}, {"exanic_cache_flag", "0"},
          {"exanic_cache_size", "101"}, {"insts", "IF,,IC2612"}, {"options", "recv"}});
    const std::string out = testing::internal::GetCapturedStdout();
    std::vector<std::string> texts;
    std::istringstream lines(out);
    std::string line;
    const std::string site = "[VornCffexMdApiImpl.cpp:";
    while (std::getline(lines, line)) {
        EXPECT_EQ(0u, line.find("\x1b[37;1m [D] [")) << line;
        const size_t at = line.find("] [_ReadConfig] ");
        ASSERT_NE(std::string::npos, at) << line;
        EXPECT_NE(std::string::npos, line.find(site)) << line;
        const size_t end = line.rfind("\x1b[0m ");
        texts.push_back(line.substr(at + 16, end - at - 16));
    }
    const std::vector<std::string> expected = {
        "device[exanic3]", "log_path[" + dir_ + "]", "log_level[8]", "cpucore[1]", "exanic_cache_flag[0]",
        "exanic_cache_size[10]", "channel[0] insts[IF,,IC2612], options[recv], recvall[0]",
        "channel[0] insts count[3]", "channel[0] insts[IF]", "channel[0] insts[]", "channel[0] insts[IC2612]"};
    EXPECT_EQ(expected, texts);

    // Without the LOG_DEBUG bit there are none.
    testing::internal::CaptureStdout();
    Read({{"log_level", "7"}});
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
}

struct Selection {
    const char* insts;
    const char* options; // "<absent>" for no key
    const char* code;
    uint32_t expected;
};

TEST_F(ConfigTest, ChannelSelection) {
    const Selection cases[] = {
        // No list: nothing selected.
        {"<absent>", "<absent>", "IF2612", 0},
        {"", "recv", "IF2612", 0},
        // "all": futures always, option codes (longer than six) only with recv.
        {"all", "<absent>", "IF2612", 2},
        {"all", "<absent>", "T2612", 2},
        {"all", "<absent>", "IO2612-C-4000", 0},
        {"all", "recv", "IO2612-C-4000", 2},
        {"all", "RECV", "IO2612-C-4000", 0},
        // Two letters: the product.
        {"IF", "<absent>", "IF2612", 2},
        {"IF", "<absent>", "IF", 2},
        {"IF", "<absent>", "IC2612", 0},
        {"IF", "<absent>", "if2612", 0},
        {"IF", "<absent>", "I", 0},
        {"IF", "<absent>", "IF2612-C-4000", 0},
        {"IF", "recv", "IF2612-C-4000", 2},
        // One letter: that letter followed by a digit.
        {"T", "<absent>", "T2612", 2},
        {"T", "<absent>", "TF2612", 0},
        {"T", "<absent>", "TS2612", 0},
        {"T", "<absent>", "IF2612", 0},
        {"T", "<absent>", "T", 2}, // a one-character code is matched exactly
        {"T", "<absent>", "T2612-C-100", 0},
        {"T", "recv", "T2612-C-100", 2},
        // Six characters: the contract, and with recv its options.
        {"IF2612", "<absent>", "IF2612", 2},
        {"IF2612", "<absent>", "IF2609", 0},
        {"IF2612", "<absent>", "IF261", 0},
        {"IF2612", "<absent>", "IF2612-C-4000", 0},
        {"IF2612", "recv", "IF2612-C-4000", 2},
        // Three to five characters and full option codes: exact codes only, whatever options says.
        {"IF261", "recv", "IF261", 2},
        {"IF261", "recv", "IF2612", 0},
        {"TS2", "<absent>", "TS2", 2},
        {"IO2612-C-4000", "<absent>", "IO2612-C-4000", 2},
        {"IO2612-C-4000", "recv", "IO2612-C-40000", 0},
        {"IO2612-C-4000", "recv", "IO2612-C-400", 0},
        // Lists: any selector may decide; a blank stays in the next selector.
        {"IF,IC2612,T", "<absent>", "IC2612", 2},
        {"IF,IC2612,T", "<absent>", "T2609", 2},
        {"IF,IC2612,T", "<absent>", "IC2609", 0},
        {"IF, IC", "<absent>", "IC2612", 0},
        {"IF, IC", "<absent>", " IC", 2},
        // Adjacent commas: the empty selector selects only the empty code.
        {"IF,,IC", "<absent>", "", 2},
        {"IF,,IC", "<absent>", "IC2612", 2},
        {"IF,IC", "<absent>", "", 0},
        // "all" among others is a three-character exact selector.
        {"all,IF", "<absent>", "all", 2},
        {"all,IF", "<absent>", "IF2612", 2},
        {"all,IF", "<absent>", "IC2612", 0},
        {"all,IF", "recv", "IO2612-C-4000", 0},
    };
    for (const Selection& c : cases)
        EXPECT_EQ(c.expected, Selected(c.insts, c.options, c.code))
            << "insts[" << c.insts << "] options[" << c.options << "] code[" << c.code << "]";
}

// A code shorter than a product or prefix selector is compared only within its own length.
TEST_F(ConfigTest, SelectionReadsNoFurtherThanTheCode) {
    auto impl = Read({{"insts", "IF2612,IF"}});
    const std::unique_ptr<char[]> code(new char[1]{'I'});
    EXPECT_EQ(0u, impl->_GetChannelCfg(code.get(), 1));
}

} // namespace
