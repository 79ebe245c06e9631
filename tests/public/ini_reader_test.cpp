// The INI rules: trimming, comments, section lines, CRLF, numbers, missing and empty files.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "IniReader.h"
#include "test_files.h"

namespace {

class IniReaderTest : public ::testing::Test {
protected:
    void Load(const std::string& text) {
        std::ofstream(path_, std::ios::binary | std::ios::trunc) << text;
        ASSERT_TRUE(reader_.ReadConfig(path_));
    }

    vorn_test::TempDir dir_;
    const std::string path_ = dir_.File("md.ini");
    Vorn_R10::CIniReader reader_;
};

TEST_F(IniReaderTest, TextRules) {
    Load("# device = [commented]\nbefore = 1\n[config]\r\n \tdevice \t=\t exanic1 \t\n"
         "url = udp://239.3.42.1:30001/10.0.0.5?a=b\nempty =\ninner = two words \r\nsemi = a;b ; c\n"
         " = orphan value\nno equals sign here\n#hidden = commented too\ncpucore = 3   # the feed core\n"
         "hash#inkey = 1\n\r\ninsts = [IF2612,IC2612]\n" // a bracket pair makes a section line: key not stored
         "a = 1\n[ config]\nb = 2\n[other]\na = x\n[config] # trailing comment\nc = 3\ncpucore = 4\n"
         "] odd [\nd = 5\n[]\nlast = 6");
    const struct {
        const char* section;
        const char* key;
        const char* value; // "<none>": not stored
    } cases[] = {
        {"", "before", "1"}, {"config", "device", "exanic1"},
        {"config", "url", "udp://239.3.42.1:30001/10.0.0.5?a=b"}, // split at the first '='
        {"config", "empty", ""}, {"config", "inner", "two words"}, // CRLF read like LF
        {"config", "semi", "a;b ; c"},                             // a semicolon is no comment
        {"config", "", "<none>"}, {"config", "no equals sign here", "<none>"},
        {"Config", "device", "<none>"}, {"config", "DEVICE", "<none>"}, // case-sensitive
        {"config", "hidden", "<none>"}, {"", "device", "<none>"},
        {"config", "hash", "<none>"}, // no '=' before the comment
        {"config", "insts", "<none>"}, {"IF2612,IC2612", "a", "1"}, // the list became the current section
        {" config", "b", "2"}, {"config", "b", "<none>"}, {"other", "a", "x"},
        {"config", "c", "3"},       // a section opened twice collects both blocks
        {"config", "cpucore", "4"}, // the later value wins
        {"", "d", "5"},             // ']' before '[': the empty name
        {"", "last", "6"},          // a last line without LF counts
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.value, reader_.ReadString(c.section, c.key, "<none>")) << "[" << c.section << "] " << c.key;
}

TEST_F(IniReaderTest, NumbersAndMissingOrEmptyFiles) {
    Load("[config]\n"
         "plain = 42\nnegative = -7\nsuffix = 12abc\nhex = 0x10\nword = abc\nempty =\n"
         "big = 4294967297\nplus = +5\ncomment = # nothing\n");
    const std::pair<const char*, int> cases[] = {{"plain", 42}, {"negative", -7}, {"suffix", 12}, {"hex", 0},
                                                  {"word", 0},   {"empty", 0},     {"big", 1},     {"plus", 5},
                                                  {"comment", 0}, {"absent", -3}}; // big: cut to 32 bits
    for (const auto& c : cases) EXPECT_EQ(c.second, reader_.ReadInt32("config", c.first, -3)) << c.first;
    for (const auto& [section, key] : {std::pair<const char*, const char*>{"nosection", "plain"}, {nullptr, "plain"}, {"config", nullptr}})
        EXPECT_EQ(-3, reader_.ReadInt32(section, key, -3));
    EXPECT_EQ("d", reader_.ReadString(nullptr, "plain", "d"));

    EXPECT_FALSE(reader_.ReadConfig(path_ + ".missing"));
    EXPECT_EQ("<none>", reader_.ReadString("config", "plain", "<none>")); // the failed read left the map empty
    Load("");
    EXPECT_EQ(7, reader_.ReadInt32("config", "key", 7));
    Load("[config]\nkey = 1\n");
    Load("[config]\nother = 1\n"); // each read starts from an empty map
    EXPECT_EQ("<none>", reader_.ReadString("config", "key", "<none>"));
}

} // namespace
