// The exchange's time of an update as an instant: the trading day, the update time and its
// milliseconds of a record, read as China Standard Time (UTC+8, no daylight saving).
#pragma once

#include <cstdint>

namespace vorn_tools {

// What WallMsOfRecord and EventNsOfRecord give where the record's time cannot be read.
constexpr int64_t kNoTime = INT64_MIN; // numpy's NaT

// Days since 1970-01-01 of a proleptic Gregorian YYYYMMDD date; false for an impossible one.
bool DaysOfDate(int32_t yyyymmdd, int64_t& days);

// Reads record times with a cache of the last trading-day text (the records of a day repeat
// it). One reader per thread.
class RecordClock {
public:
    // `tradeDate` (YYYYMMDD) dates version-1 records, which carry no trading day.
    explicit RecordClock(int32_t tradeDate);
    // The update's wall-clock time on the exchange as milliseconds since 1970-01-01 of that
    // local time (no zone), or kNoTime. `version` 1: MarketDepthUpdate, 2: VornCffexMdType.
    int64_t WallMs(int version, const void* record);
    // The instant of a WallMs() result as nanoseconds since the epoch, UTC (kNoTime stays).
    static int64_t EventNsOfWall(int64_t wallMs);

private:
    int64_t tradeDays_;
    char lastDay_[9] = {};
    int64_t lastDays_ = kNoTime;
};

} // namespace vorn_tools
