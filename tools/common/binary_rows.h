// Update records as packed binary rows that numpy reads as they are: the columns of the CSV
// that the record's version has (texts as zero-padded bytes, integers, doubles, all
// little-endian), then `time` (datetime64[ms], the exchange's wall clock without a zone),
// `ts_recv` (datetime64[ns], the capture time of the frame that delivered the update, UTC) and
// `ts_event` (datetime64[ns], the exchange's time of the update, UTC; NaT where unreadable).
//
// The stream: "VORNROWS", the length of a JSON header as 8 little-endian bytes, the header
// ({"descr": [[name, numpy type], ...], "itemsize": bytes of a row}), then the rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "exchange_time.h"

namespace vorn_tools {

// One column of the row: its numpy type string and its place in the row.
struct RowColumn {
    std::string name;
    std::string format; // numpy type string, e.g. "<i8", "|S31", "<M8[ms]"
    size_t offset = 0;
};

// The row layout of one record version.
class BinaryRowLayout {
public:
    // `version` 1 or 2; `tradeDate` (YYYYMMDD) dates version-1 records, which carry none.
    BinaryRowLayout(int version, int32_t tradeDate);

    const std::vector<RowColumn>& Columns() const { return columns_; }
    size_t RowBytes() const { return rowBytes_; }
    // The stream's header: magic, length and JSON.
    std::string StreamHeader() const;
    // Fills `row` (RowBytes() bytes) from one record of this layout's version.
    void Fill(const void* record, int64_t tsRecvNs, char* row);

private:
    // One step of turning a record into a row: a byte copy of numbers, or a text zero-padded.
    struct Step {
        bool text;
        size_t from, to, bytes;
    };

    int version_;
    RecordClock clock_;
    std::vector<RowColumn> columns_;
    std::vector<Step> steps_;
    size_t rowBytes_ = 0, timeOffset_ = 0;
};

// Writes rows to a stream, header first. Not thread-safe: the connector calls back on one thread.
class BinaryRowWriter {
public:
    // `out` stays owned by the caller.
    BinaryRowWriter(FILE* out, int version, int32_t tradeDate);
    // Writes the row of one record; false once a write failed (a reader that went away).
    bool Write(const void* record, int64_t tsRecvNs);
    uint64_t Rows() const { return rows_; }

private:
    FILE* out_;
    BinaryRowLayout layout_;
    std::vector<char> row_;
    uint64_t rows_ = 0;
};

} // namespace vorn_tools
