// The columns of an update row (vorn-dump, vorn-decode): one table for both record versions,
// each column naming where its value sits in a MarketDepthUpdate and in a VornCffexMdType (or
// that the version lacks it).
#pragma once

#include <cstddef>
#include <vector>

#include "VornCffexMd_interface.h"

namespace vorn_tools {

enum class Kind { None, Text, Int32, Int64, Double };

struct FieldAt {
    Kind kind = Kind::None;
    size_t offset = 0;
    size_t width = 0; // bytes of a text field
};

struct Column {
    const char* name;
    FieldAt v1;
    FieldAt v2;
};

// Every field of both records, in record order, after a leading "version" column (not listed).
const std::vector<Column>& Columns();

// Most characters a number (Int32, Int64, Double) takes as text; a text takes its width at most.
constexpr size_t kMaxNumberChars = 32;

// One value as text at `out`, which has room for kMaxNumberChars or the text's width:
// integers in decimal, doubles in the shortest form that reads back to the same double, texts
// up to their terminator. Returns the end of what was written; `out` itself when the version
// has no such field (Kind::None).
char* FormatValue(const FieldAt& field, const void* record, char* out);

} // namespace vorn_tools
