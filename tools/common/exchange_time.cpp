#include "exchange_time.h"

#include <cstddef>
#include <cstring>

#include "VornCffexMd_interface.h"

namespace vorn_tools {
namespace {

constexpr int64_t kMsPerDay = 86400000;
// China Standard Time is UTC+8 all year.
constexpr int64_t kChinaOffsetMs = 8 * 3600 * 1000;

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
    if (strnlen(text, 9) != 8 || text[2] != ':' || text[5] != ':' || !Digits(text, 2, h) || !Digits(text + 3, 2, m) ||
        !Digits(text + 6, 2, s) || h > 23 || m > 59 || s > 60)
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

RecordClock::RecordClock(int32_t tradeDate) {
    if (!DaysOfDate(tradeDate, tradeDays_)) tradeDays_ = kNoTime;
}

int64_t RecordClock::WallMs(int version, const void* record) {
    const char* const in = static_cast<const char*>(record);
    int32_t msec;
    if (version == 2) {
        const char* day = in + offsetof(VornCffexMdType, trading_day);
        if (memcmp(day, lastDay_, sizeof lastDay_) != 0) {
            memcpy(lastDay_, day, sizeof lastDay_);
            int64_t date = 0, days = 0;
            lastDays_ = strnlen(day, sizeof lastDay_) == 8 && Digits(day, 8, date) &&
                                DaysOfDate(static_cast<int32_t>(date), days)
                            ? days
                            : kNoTime;
        }
        int64_t seconds;
        memcpy(&seconds, in + offsetof(VornCffexMdType, UpdateTime), sizeof seconds);
        memcpy(&msec, in + offsetof(VornCffexMdType, update_msec), sizeof msec);
        if (lastDays_ == kNoTime || seconds < 0 || seconds > 86400 || msec < 0 || msec >= 1000) return kNoTime;
        return lastDays_ * kMsPerDay + seconds * 1000 + msec;
    }
    memcpy(&msec, in + offsetof(MarketDepthUpdate, UpdateMillisec), sizeof msec);
    const int64_t ofDay = MsOfClockText(in + offsetof(MarketDepthUpdate, UpdateTime));
    if (tradeDays_ == kNoTime || ofDay < 0 || msec < 0 || msec >= 1000) return kNoTime;
    return tradeDays_ * kMsPerDay + ofDay + msec;
}

int64_t RecordClock::EventNsOfWall(int64_t wallMs) {
    return wallMs == kNoTime ? kNoTime : (wallMs - kChinaOffsetMs) * 1000000;
}

} // namespace vorn_tools
