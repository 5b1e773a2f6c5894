// Random source seeded with known clock readings, and the clock reading itself.
// The expected words follow from SHA-1 alone: the pool is SHA-1(counter LE ||
// time); each word is the pool's little-endian word at the position (back to 0
// when position + 4 reaches 20), then pool = SHA-1(pool[2..17] || position LE)
// and position = (position + 4) mod 20.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "crypto/hdrand.h"
#include "crypto/hdrand_clock.h"

namespace {

const uint64_t kCounter = 0x0123456789ABCDEFull;
// 2026-12-07 (a Monday) 00:55:43.123 as eight little-endian 16-bit fields.
const uint8_t kTime[16] = {0xEA, 0x07, 12, 0, 1, 0, 7, 0, 0, 0, 55, 0, 43, 0, 123, 0};

// SHA-1(counter || time) = f9bb5a56 4289769d ...: the first word is its first four bytes, LE.
const uint32_t kSequence[12] = {
    0x565ABBF9, 0x0CB01BBD, 0xF5FB2047, 0xBAFFB5CE,
    0x87B4D382,  // fifth word: pool offset 0 again, never offset 16
    0xB9F387F5, 0x99F07C26, 0x8B797C78, 0x0257B519, 0xB31EEBE1, 0x9240AEFC, 0xBD3E558B,
};

TEST(Hdrand, KnownSeedGivesKnownSequenceAgainAfterReseeding)
{
    for (int count : {3, 12}) {  // reseeding must put the position back to 0 too
        hdrand_seed(kCounter, kTime);
        for (int i = 0; i < count; ++i) EXPECT_EQ(kSequence[i], hdrand()) << "word " << i;
    }
    EXPECT_TRUE(hdrand_init());  // from the clocks: another sequence
    EXPECT_NE(kSequence[0], hdrand());
}

TEST(Hdrand, ClockReadingHasTheCalendarLayout)
{
    uint64_t first = 0, second = 0;
    uint8_t time[16];
    HdrandReadClocks(&first, time);
    const unsigned low[8] = {2024, 1, 0, 1, 0, 0, 0, 0}, high[8] = {2200, 12, 6, 31, 23, 59, 60, 999};
    for (int i = 0; i < 8; ++i) {  // year (not years since 1900), month, day of week, day, h, m, s, ms
        const unsigned field = unsigned(time[2 * i] | time[2 * i + 1] << 8);
        EXPECT_TRUE(field >= low[i] && field <= high[i]) << "field " << i << " = " << field;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    HdrandReadClocks(&second, time);
    EXPECT_GT(second, first);
}

}  // namespace
