// CUstCharArray: texts cut to capacity - 1, and splitting as the instrument list uses it.
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
    text.Assign("123456789");
    EXPECT_STREQ("1234567", text.c_str());
    EXPECT_EQ(7u, text.length());
    text.Assign(std::string("abcdefghij"));
    EXPECT_STREQ("abcdefg", text.c_str());
    text.Assign("xy");
    EXPECT_TRUE(text == "xy");
    EXPECT_FALSE(text == "xyz");
    text.Assign(nullptr);
    EXPECT_TRUE(text.empty());
}

TEST(CUstCharArray, SplitByChar) {
    const std::pair<const char*, Pieces> cases[] = {
        {"IF,IC2612,T", {"IF", "IC2612", "T"}}, {"IF,,IC", {"IF", "", "IC"}}, {",IF", {"", "IF"}},
        {"IF,", {"IF"}}, {"IF,,", {"IF", ""}}, {",", {""}}, {"", {}}, {"IF, IC", {"IF", " IC"}}}; // nothing trimmed
    for (const auto& c : cases) EXPECT_EQ(c.second, Split<32>(CUstCharArray<64>(c.first))) << c.first;
    EXPECT_EQ((Pieces{"a", "b"}), Split<32>(CUstCharArray<64>("a;b"), ';'));
    EXPECT_EQ((Pieces{"abc", "wxy"}), Split<4>(CUstCharArray<64>("abcdef,wxyz"))); // every piece cut to M-1
    EXPECT_EQ((Pieces{"ab", "cdef"}), Split<32>(CUstCharArray<8>("ab,cdef")));     // a full text: N-1 characters

    std::vector<CUstCharArray<32>> pieces(1); // appends to what the array already holds
    CUstCharArray<16>("x,y").SplitByChar(pieces, ',');
    ASSERT_EQ(3u, pieces.size());
    EXPECT_STREQ("y", pieces[2].c_str());
}

} // namespace
