#include "decode_rows.h"

#include <cstdlib>
#include <cstring>

#include "VornCffexMd_interface.h"
#include "record_columns.h"

namespace vorn_python {
namespace {

constexpr int64_t kNotATime = INT64_MIN; // numpy's NaT
constexpr int64_t kMsPerDay = 86400000;
constexpr size_t kFirstRows = 4096;
constexpr size_t kMaxTextWidth = 64;

bool Digits(const char* text, size_t n, int64_t& value) {
    value = 0;
    for (size_t i = 0; i < n; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

// Milliseconds of "HH:MM:SS" (exactly eight characters); -1 when it is not such a time.
int64_t MsOfClockText(const char* text) {
    int64_t h, m, s;
    if (text[2] != ':' || text[5] != ':' || !Digits(text, 2, h) || !Digits(text + 3, 2, m) || !Digits(text + 6, 2, s) ||
        h > 23 || m > 59 || s > 60)
        return -1;
    return ((h * 60 + m) * 60 + s) * 1000;
}

} // namespace

bool DaysOfDate(int32_t yyyymmdd, int64_t& days) {
    const int64_t y0 = yyyymmdd / 10000, m = yyyymmdd / 100 % 100, d = yyyymmdd % 100;
    static const int kMonthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (yyyymmdd <= 0 || m < 1 || m > 12 || d < 1 || d > kMonthDays[m - 1]) return false;
    const bool leap = (y0 % 4 == 0 && y0 % 100 != 0) || y0 % 400 == 0;
    if (m == 2 && d == 29 && !leap) return false;
    // Days from civil: years start in March so that the leap day ends the year.
    const int64_t y = m <= 2 ? y0 - 1 : y0;
    const int64_t era = y / 400;
    const int64_t yearOfEra = y - era * 400;
    const int64_t dayOfYear = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    days = era * 146097 + dayOfEra - 719468;
    return true;
}

RowTable::RowTable(int version, int32_t tradeDate) : version_(version) {
    if (!DaysOfDate(tradeDate, tradeDays_)) tradeDays_ = kNotATime;
    for (const vorn_tools::Column& column : vorn_tools::Columns()) {
        const vorn_tools::FieldAt& field = version == 1 ? column.v1 : column.v2;
        RowColumn out;
        out.name = column.name;
        out.offset = rowBytes_;
        size_t bytes = field.width;
        switch (field.kind) {
        case vorn_tools::Kind::None: continue;
        case vorn_tools::Kind::Text:
            if (field.width > kMaxTextWidth) continue; // no record has one; Add() widens into a fixed buffer
            out.format = "<U" + std::to_string(field.width);
            bytes = field.width * 4;
            break;
        case vorn_tools::Kind::Int32: out.format = "<i4"; break;
        case vorn_tools::Kind::Int64: out.format = "<i8"; break;
        case vorn_tools::Kind::Double: out.format = "<f8"; break;
        }
        const bool text = field.kind == vorn_tools::Kind::Text;
        Step* const last = steps_.empty() ? nullptr : &steps_.back();
        // A number right after a number in both the record and the row: one longer copy.
        if (!text && last && !last->text && last->from + last->bytes == field.offset &&
            last->to + last->bytes == rowBytes_)
            last->bytes += field.width;
        else
            steps_.push_back(Step{text, field.offset, rowBytes_, field.width});
        rowBytes_ += bytes;
        columns_.push_back(out);
    }
    timeOffset_ = rowBytes_;
    columns_.push_back(RowColumn{"time", "<M8[ms]", timeOffset_});
    rowBytes_ += sizeof(int64_t);
}

RowTable::~RowTable() { free(block_); }

bool RowTable::Grow() {
    const size_t rows = capacity_ ? capacity_ * 2 : kFirstRows;
    // realloc moves a large block by remapping its pages, not by copying them.
    char* const grown = static_cast<char*>(realloc(block_, rows * rowBytes_));
    if (!grown) {
        outOfMemory_ = true;
        return false;
    }
    block_ = grown;
    capacity_ = rows;
    return true;
}

void RowTable::WriteTime(const char* record, char* row) {
    int64_t ms = kNotATime;
    if (version_ == 2) {
        const char* day = record + offsetof(VornCffexMdType, trading_day);
        if (memcmp(day, lastDay_, sizeof lastDay_) != 0) {
            memcpy(lastDay_, day, sizeof lastDay_);
            int64_t date = 0, days = 0;
            lastDays_ = strnlen(day, sizeof lastDay_) == 8 && Digits(day, 8, date) &&
                                DaysOfDate(static_cast<int32_t>(date), days)
                            ? days
                            : kNotATime;
        }
        int64_t seconds;
        int32_t msec;
        memcpy(&seconds, record + offsetof(VornCffexMdType, UpdateTime), sizeof seconds);
        memcpy(&msec, record + offsetof(VornCffexMdType, update_msec), sizeof msec);
        if (lastDays_ != kNotATime && seconds >= 0 && seconds <= 86400 && msec >= 0 && msec < 1000)
            ms = lastDays_ * kMsPerDay + seconds * 1000 + msec;
    } else {
        const char* clock = record + offsetof(MarketDepthUpdate, UpdateTime);
        int32_t msec;
        memcpy(&msec, record + offsetof(MarketDepthUpdate, UpdateMillisec), sizeof msec);
        const int64_t ofDay = strnlen(clock, 9) == 8 ? MsOfClockText(clock) : -1;
        if (tradeDays_ != kNotATime && ofDay >= 0 && msec >= 0 && msec < 1000)
            ms = tradeDays_ * kMsPerDay + ofDay + msec;
    }
    memcpy(row + timeOffset_, &ms, sizeof ms);
}

bool RowTable::Add(const void* record) {
    if (rows_ == capacity_ && !Grow()) return false;
    const char* const in = static_cast<const char*>(record);
    char* const row = block_ + rows_ * rowBytes_;
    for (const Step& step : steps_) {
        if (!step.text) {
            memcpy(row + step.to, in + step.from, step.bytes);
            continue;
        }
        // Text up to its terminator, one code point per byte, zero-filled like numpy's own.
        uint32_t wide[kMaxTextWidth] = {};
        for (size_t i = 0; i < step.bytes && in[step.from + i]; ++i)
            wide[i] = static_cast<unsigned char>(in[step.from + i]);
        memcpy(row + step.to, wide, step.bytes * 4);
    }
    WriteTime(in, row);
    ++rows_;
    return true;
}

char* RowTable::Release() {
    if (!block_) Grow();
    char* const block = block_;
    block_ = nullptr;
    rows_ = capacity_ = 0;
    return block;
}

} // namespace vorn_python
