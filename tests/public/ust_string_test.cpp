#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ust_string_base.h"

using Vorn_R10::CUstCharArray;

namespace {

template <size_t M, size_t N>
std::vector<std::string> Split(const CUstCharArray<N>& text, char ch = ',') {
    std::vector<CUstCharArray<M>> pieces;
    text.SplitByChar(pieces, ch);
    std::vector<std::string> result;
    for (const auto& piece : pieces) result.push_back(piece.c_str());
    return result;
}

using Pieces = std::vector<std::string>;

TEST(CUstCharArray, AssignCutsToCapacityMinusOne) {
    CUstCharArray<8> text;
    EXPECT_TRUE(text.empty());
    text.Assign("1234567");
    EXPECT_STREQ("1234567", text.c_str());
    text.Assign("123456789");
    EXPECT_STREQ("1234567", text.c_str());
    EXPECT_EQ(7u, text.length());
    text.Assign(std::string("abcdefghij"));
    EXPECT_STREQ("abcdefg", text.c_str());
    text.Assign("xy");
    EXPECT_STREQ("xy", text.c_str());
    EXPECT_TRUE(text == "xy");
    EXPECT_FALSE(text == "xyz");
    text.Assign(nullptr);
    EXPECT_TRUE(text.empty());

    const std::string longPath(300, 'p');
    CUstCharArray<256> path;
    path.Assign(longPath);
    EXPECT_EQ(std::string(255, 'p'), path.c_str());
}

TEST(CUstCharArray, SplitByChar) {
    EXPECT_EQ((Pieces{"IF", "IC2612", "T"}), Split<32>(CUstCharArray<64>("IF,IC2612,T")));
    EXPECT_EQ((Pieces{"IF", "", "IC"}), Split<32>(CUstCharArray<64>("IF,,IC")));
    EXPECT_EQ((Pieces{"", "IF"}), Split<32>(CUstCharArray<64>(",IF")));
    EXPECT_EQ((Pieces{"IF"}), Split<32>(CUstCharArray<64>("IF,")));
    EXPECT_EQ((Pieces{"IF", ""}), Split<32>(CUstCharArray<64>("IF,,")));
    EXPECT_EQ((Pieces{""}), Split<32>(CUstCharArray<64>(",")));
    EXPECT_EQ((Pieces{}), Split<32>(CUstCharArray<64>("")));
    EXPECT_EQ((Pieces{"IF", " IC"}), Split<32>(CUstCharArray<64>("IF, IC"))); // nothing trimmed
    EXPECT_EQ((Pieces{"a", "b"}), Split<32>(CUstCharArray<64>("a;b"), ';'));
    EXPECT_EQ((Pieces{"abc", "de"}), Split<4>(CUstCharArray<64>("abcdef,de")));   // cut to M-1
    EXPECT_EQ((Pieces{"abc", "wxy"}), Split<4>(CUstCharArray<64>("abcdef,wxyz"))); // last piece too

    // Appends to what the array already holds.
    std::vector<CUstCharArray<32>> pieces(1);
    CUstCharArray<16>("x,y").SplitByChar(pieces, ',');
    ASSERT_EQ(3u, pieces.size());
    EXPECT_STREQ("y", pieces[2].c_str());
}

TEST(CUstCharArray, SplitOfAFullText) {
    // A text of exactly N-1 characters, last piece ending at the terminator.
    CUstCharArray<8> full("ab,cdef");
    EXPECT_EQ((Pieces{"ab", "cdef"}), Split<32>(full));
}

} // namespace
