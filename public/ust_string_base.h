// Fixed-capacity NUL-terminated text: at most N-1 characters, copied byte for byte.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

namespace Vorn_R10 {

template <size_t N>
struct CUstCharArray {
    using RawCharacterSequence = char[N];
    RawCharacterSequence m_value = {};

    CUstCharArray() = default;
    explicit CUstCharArray(const char* text) { Assign(text); }

    // Stores at most N-1 characters of `text` (a null text stores the empty text).
    void Assign(const char* text) { Assign(text, text ? strnlen(text, N) : 0); }
    void Assign(const std::string& text) { Assign(text.data(), text.size()); }
    void Assign(const char* text, size_t len) {
        if (len > N - 1) len = N - 1;
        if (len) memcpy(m_value, text, len);
        m_value[len] = '\0';
    }

    const char* c_str() const { return m_value; }
    size_t length() const { return strnlen(m_value, N); }
    bool empty() const { return m_value[0] == '\0'; }
    bool operator==(const char* text) const { return strncmp(m_value, text, N) == 0; }

    // Appends the pieces of the text between separators `ch`: adjacent separators give an
    // empty piece, a trailing separator gives none, each piece is cut to M-1 characters.
    template <size_t M>
    void SplitByChar(std::vector<CUstCharArray<M>>& res, char ch) const {
        char copy[N];
        memcpy(copy, m_value, N);
        const size_t len = strnlen(copy, N);
        size_t start = 0;
        for (size_t i = 0; i < len; ++i) {
            if (copy[i] != ch) continue;
            res.emplace_back();
            res.back().Assign(copy + start, i - start);
            start = i + 1;
        }
        if (len > start) {
            res.emplace_back();
            res.back().Assign(copy + start, len - start);
        }
    }
};

using CConfigFileNameType = CUstCharArray<256>;
using CAddressType = CUstCharArray<256>;
using CInstrumentListType = CUstCharArray<4096>;

} // namespace Vorn_R10
