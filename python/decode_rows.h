// Update records as rows of a numpy structured array: the columns of vorn-decode's CSV that the
// record's version has, with their natural types (text as fixed-width UCS-4, integers, doubles),
// then a `time` column (datetime64[ms]) from the trading day and the update time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vorn_python {

// One column of the row: its numpy type string and its place in the row.
struct RowColumn {
    std::string name;
    std::string format; // numpy type string, e.g. "<i8", "<U31", "<M8[ms]"
    size_t offset = 0;
};

// Rows of one record version, collected on the connector's thread into one growing block.
class RowTable {
public:
    // `version` 1 or 2; `tradeDate` (YYYYMMDD) dates version-1 records, which carry none.
    RowTable(int version, int32_t tradeDate);
    ~RowTable();
    RowTable(const RowTable&) = delete;
    RowTable& operator=(const RowTable&) = delete;

    const std::vector<RowColumn>& Columns() const { return columns_; }
    size_t RowBytes() const { return rowBytes_; }

    // Appends the row of one record of this table's version; false (and the record is not
    // kept) when memory ran out, after which OutOfMemory() is true.
    bool Add(const void* record);
    size_t Rows() const { return rows_; }
    bool OutOfMemory() const { return outOfMemory_; }
    // Hands the block over (malloc'd, Rows() * RowBytes() bytes, at least one row's room); the
    // caller frees it.
    char* Release();

private:
    // One step of turning a record into a row: a byte copy, or a text widened to UCS-4.
    struct Step {
        bool text;
        size_t from, to, bytes; // bytes: of the copy, or the text's width
    };
    bool Grow();
    void WriteTime(const char* record, char* row);

    int version_;
    int64_t tradeDays_; // days since 1970-01-01 of the trade date; version 1 only
    std::vector<RowColumn> columns_;
    std::vector<Step> steps_;
    size_t rowBytes_ = 0, timeOffset_ = 0;
    char* block_ = nullptr;
    size_t rows_ = 0, capacity_ = 0;
    bool outOfMemory_ = false;
    // The last trading-day text seen and its day number: records of one day repeat it.
    char lastDay_[9] = {};
    int64_t lastDays_ = 0;
};

// Days since 1970-01-01 of a proleptic Gregorian date; false for an impossible one.
bool DaysOfDate(int32_t yyyymmdd, int64_t& days);

} // namespace vorn_python
