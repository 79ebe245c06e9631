#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "IniReader.h"

using Vorn_R10::CIniReader;

namespace {

class IniReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/vorn_ini_XXXXXX";
        const int fd = mkstemp(name);
        ASSERT_GE(fd, 0);
        close(fd);
        path_ = name;
    }
    void TearDown() override { unlink(path_.c_str()); }

    // Writes `text` as the file and reads it.
    void Load(const std::string& text) {
        std::ofstream(path_, std::ios::binary | std::ios::trunc) << text;
        ASSERT_TRUE(reader_.ReadConfig(path_));
    }
    std::string Get(const char* section, const char* key) { return reader_.ReadString(section, key, "<none>"); }

    std::string path_;
    CIniReader reader_;
};

TEST_F(IniReaderTest, KeysAndValuesAreTrimmedAndSplitAtTheFirstEquals) {
    Load("[config]\n"
         " \tdevice \t=\t exanic1 \t\n"
         "url = udp://239.3.42.1:30001/10.0.0.5?a=b\n"
         "empty =\n"
         "inner = two words \n"
         "semi = a;b ; c\n"
         " = orphan value\n"
         "no equals sign here\n");
    EXPECT_EQ("exanic1", Get("config", "device"));
    EXPECT_EQ("udp://239.3.42.1:30001/10.0.0.5?a=b", Get("config", "url"));
    EXPECT_EQ("", Get("config", "empty"));
    EXPECT_EQ("two words", Get("config", "inner"));
    EXPECT_EQ("a;b ; c", Get("config", "semi")); // a semicolon is no comment
    EXPECT_EQ("<none>", Get("config", "")); // an empty key is not stored
    EXPECT_EQ("<none>", Get("config", "no equals sign here"));
    EXPECT_EQ("<none>", Get("Config", "device")); // case-sensitive
    EXPECT_EQ("<none>", Get("config", "DEVICE"));
}

TEST_F(IniReaderTest, CommentsAreCutOff) {
    Load("# device = commented\n"
         "[config]\n"
         "#device = commented too\n"
         "cpucore = 3   # the feed core\n"
         "log_level = # nothing\n"
         "hash#inkey = 1\n");
    EXPECT_EQ("3", Get("config", "cpucore"));
    EXPECT_EQ("", Get("config", "log_level"));
    EXPECT_EQ(0, reader_.ReadInt32("config", "log_level", 15));
    EXPECT_EQ("<none>", Get("config", "device"));
    EXPECT_EQ("<none>", Get("", "device"));
    EXPECT_EQ("<none>", Get("config", "hash")); // "hash" has no '=' before the comment
}

TEST_F(IniReaderTest, SectionLines) {
    Load("before = 1\n"
         "[config]\n"
         "insts = [IF2612,IC2612]\n" // a bracket pair makes a section line: key not stored
         "a = 1\n"
         "[ config]\n"
         "b = 2\n"
         "[other]\n"
         "a = x\n"
         "[config] # trailing comment\n"
         "c = 3\n"
         "a = 4\n"
         "] odd [\n"
         "d = 5\n"
         "[]\n"
         "e = 6\n");
    EXPECT_EQ("1", Get("", "before"));
    EXPECT_EQ("<none>", Get("config", "insts"));
    EXPECT_EQ("<none>", Get("IF2612,IC2612", "insts"));
    // The instrument list became the current section.
    EXPECT_EQ("1", Get("IF2612,IC2612", "a"));
    EXPECT_EQ("2", Get(" config", "b"));
    EXPECT_EQ("<none>", Get("config", "b"));
    EXPECT_EQ("x", Get("other", "a"));
    EXPECT_EQ("3", Get("config", "c")); // a section opened twice collects both blocks
    EXPECT_EQ("4", Get("config", "a")); // the later value wins
    EXPECT_EQ("5", Get("", "d"));       // ']' before '[': the empty name
    EXPECT_EQ("6", Get("", "e"));
}

TEST_F(IniReaderTest, CrlfLinesReadLikeLf) {
    Load("[config]\r\ndevice = exanic0 \r\n\r\nlog_level=31\r\nlast = x");
    EXPECT_EQ("exanic0", Get("config", "device"));
    EXPECT_EQ(31, reader_.ReadInt32("config", "log_level", 15));
    EXPECT_EQ("x", Get("config", "last")); // a last line without LF counts
}

TEST_F(IniReaderTest, ReadInt32) {
    Load("[config]\n"
         "plain = 42\nnegative = -7\nsuffix = 12abc\nhex = 0x10\nword = abc\nempty =\n"
         "big = 4294967297\nplus = +5\n");
    EXPECT_EQ(42, reader_.ReadInt32("config", "plain", 1));
    EXPECT_EQ(-7, reader_.ReadInt32("config", "negative", 1));
    EXPECT_EQ(12, reader_.ReadInt32("config", "suffix", 1));
    EXPECT_EQ(0, reader_.ReadInt32("config", "hex", 1));
    EXPECT_EQ(0, reader_.ReadInt32("config", "word", 1));
    EXPECT_EQ(0, reader_.ReadInt32("config", "empty", 1));
    EXPECT_EQ(1, reader_.ReadInt32("config", "big", 9)); // cut to 32 bits
    EXPECT_EQ(5, reader_.ReadInt32("config", "plus", 1));
    EXPECT_EQ(-3, reader_.ReadInt32("config", "absent", -3));
    EXPECT_EQ(-3, reader_.ReadInt32("nosection", "plain", -3));
    EXPECT_EQ(-3, reader_.ReadInt32(nullptr, "plain", -3));
    EXPECT_EQ(-3, reader_.ReadInt32("config", nullptr, -3));
    EXPECT_EQ("d", reader_.ReadString(nullptr, "plain", "d"));
}

TEST_F(IniReaderTest, MissingAndEmptyFiles) {
    Load("[config]\nkey = 1\n");
    EXPECT_FALSE(reader_.ReadConfig(path_ + ".missing"));
    EXPECT_EQ("<none>", Get("config", "key")); // the failed read left the map empty
    Load("");
    EXPECT_EQ(7, reader_.ReadInt32("config", "key", 7));
    EXPECT_EQ("exanic0", reader_.ReadString("config", "device", "exanic0"));
    Load("[config]\nother = 1\n"); // each read starts from an empty map
    EXPECT_EQ("<none>", Get("config", "key"));
}

} // namespace
