// Updates as text rows: CSV (a header row, then one row per callback, every column, empty
// where the record's version lacks the field) or JSON lines (the fields the version has,
// non-finite doubles as null). With timestamps, two last columns: ts_recv and ts_event in
// nanoseconds since the epoch, UTC (see binary_rows.h); an unreadable ts_event is empty (null).
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "VornCffexMd_interface.h"
#include "exchange_time.h"

namespace vorn_tools {

enum class RowFormat { Csv, Json };

// The CSV header row ("version" and every column name), newline-terminated.
std::string CsvHeader();
// The most characters one row of `format` takes, line break included.
size_t MaxRowChars(RowFormat format);
// Writes the row of one record of `version` (1: MarketDepthUpdate, 2: VornCffexMdType) at
// `out`, which has room for MaxRowChars(format); returns the row's end.
char* WriteRow(RowFormat format, int version, const void* record, char* out);
// Appends that row to `line`.
void AppendRow(RowFormat format, int version, const void* record, std::string& line);

// Writes rows through one reused line buffer, one fwrite per row (so another thread may
// fflush the stream at any time). Not thread-safe: one writer per thread (the connector calls
// back on one thread).
class RowWriter {
public:
    // `out` stays owned by the caller; the header row is written for CSV. `timestamps` adds
    // ts_recv and ts_event; `tradeDate` (YYYYMMDD) dates version-1 records for ts_event.
    RowWriter(FILE* out, RowFormat format, bool timestamps = false, int32_t tradeDate = 0);
    // False when the stream refused the row (a reader that went away).
    bool Write(int version, const void* record, int64_t tsRecvNs = 0);
    uint64_t Rows() const { return rows_; }

private:
    char* WriteTimes(int version, const void* record, int64_t tsRecvNs, char* end);

    FILE* out_;
    RowFormat format_;
    bool timestamps_;
    RecordClock clock_;
    std::vector<char> line_;
    uint64_t rows_ = 0;
};

} // namespace vorn_tools
