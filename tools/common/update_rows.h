// Updates as text rows: CSV (a header row, then one row per callback, every column, empty
// where the record's version lacks the field) or JSON lines (the fields the version has,
// non-finite doubles as null).
#pragma once

#include <cstdio>
#include <string>

#include "VornCffexMd_interface.h"

namespace vorn_tools {

enum class RowFormat { Csv, Json };

// The CSV header row ("version" and every column name), newline-terminated.
std::string CsvHeader();
// Appends the row of one record of `version` (1: MarketDepthUpdate, 2: VornCffexMdType).
void AppendRow(RowFormat format, int version, const void* record, std::string& line);

// Writes rows through one reused line buffer and a large stdio buffer. Not thread-safe: one
// writer per thread (the connector calls back on one thread).
class RowWriter {
public:
    // `out` stays owned by the caller; the header row is written for CSV.
    RowWriter(FILE* out, RowFormat format);
    void Write(int version, const void* record);
    uint64_t Rows() const { return rows_; }

private:
    FILE* out_;
    RowFormat format_;
    std::string line_;
    uint64_t rows_ = 0;
};

} // namespace vorn_tools
