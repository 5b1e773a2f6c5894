// The random source before any seeding: the zero pool gives a fixed sequence
// starting with 0 (expected words from hdrand_reference.py). The pool is
// process-wide, so this runs as its own test program with nothing before it.
#include <gtest/gtest.h>

#include "crypto/hdrand.h"

namespace {

TEST(HdrandUnseeded, ZeroPoolGivesFixedSequence)
{
    const uint32_t expected[8] = {0x00000000, 0x24686421, 0xF2C1DC79, 0x80B3992F,
                                  0xA3A5BE35, 0x7A7BAD91, 0x3BB31155, 0x77118D90};
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(expected[i], hdrand()) << "word " << i;
}

}  // namespace
