// Clock readings for hdrand_init: GetSystemTime and QueryPerformanceCounter on
// Windows; elsewhere the same calendar-time layout from the real-time clock and
// a monotonic count in nanoseconds.
#include "crypto/hdrand_clock.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <time.h>
#endif

namespace {

void PutWord(uint8_t* out, int index, unsigned value)
{
    out[2 * index] = uint8_t(value);
    out[2 * index + 1] = uint8_t(value >> 8);
}

}  // namespace

void HdrandReadClocks(uint64_t* counter, uint8_t calendarTime[16])
{
#ifdef _WIN32
    SYSTEMTIME st;
    GetSystemTime(&st);
    LARGE_INTEGER count;
    count.QuadPart = 0;
    QueryPerformanceCounter(&count);  // result not examined: cannot fail since XP
    *counter = uint64_t(count.QuadPart);
    const unsigned fields[8] = {st.wYear, st.wMonth, st.wDayOfWeek, st.wDay,
                                st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
#else
    timespec now = {};
    clock_gettime(CLOCK_REALTIME, &now);
    tm utc = {};
    gmtime_r(&now.tv_sec, &utc);
    timespec mono = {};
    clock_gettime(CLOCK_MONOTONIC, &mono);
    *counter = uint64_t(mono.tv_sec) * 1000000000u + uint64_t(mono.tv_nsec);
    const unsigned fields[8] = {unsigned(utc.tm_year + 1900), unsigned(utc.tm_mon + 1),
                                unsigned(utc.tm_wday),        unsigned(utc.tm_mday),
                                unsigned(utc.tm_hour),        unsigned(utc.tm_min),
                                unsigned(utc.tm_sec),         unsigned(now.tv_nsec / 1000000)};
#endif
    for (int i = 0; i < 8; ++i)
        PutWord(calendarTime, i, fields[i]);
}
