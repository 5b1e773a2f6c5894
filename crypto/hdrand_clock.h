// Clock readings that seed the random source. Kept apart from hdrand.cpp so a
// build without these clocks (the kernel-mode driver) can leave them out.
#pragma once
#include <stdint.h>

// Reads a 64-bit high-resolution count and the current UTC calendar time as
// 16 bytes: eight little-endian 16-bit fields, year, month, day of week, day,
// hour, minute, second, milliseconds.
void HdrandReadClocks(uint64_t* counter, uint8_t calendarTime[16]);
