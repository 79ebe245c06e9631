// Local calendar date of a moment.
#pragma once

#include <ctime>

namespace Vorn_R10 {

struct CDateType {
    int year;
    int month; // 1..12
    int day;

    static CDateType Today() { return FromTime(time(nullptr)); }
    static CDateType FromTime(time_t t) {
        struct tm local {};
        localtime_r(&t, &local);
        return CDateType{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday};
    }
};

} // namespace Vorn_R10
