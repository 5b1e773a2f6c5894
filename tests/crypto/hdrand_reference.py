#!/usr/bin/env python3
"""Independent model of the random source; prints the word sequences that
hdrand_test.cpp and hdrand_unseeded_test.cpp expect.

Run: python3 tests/crypto/hdrand_reference.py
"""
import hashlib
import struct

COUNTER = 0x0123456789ABCDEF
# year, month, day of week, day, hour, minute, second, milliseconds
TIME = (2026, 12, 1, 7, 0, 55, 43, 123)


def sequence(pool, count):
    position, words = 0, []
    for _ in range(count):
        if position + 4 >= 20:
            position = 0
        words.append(struct.unpack_from("<I", pool, position)[0])
        pool = hashlib.sha1(pool[2:18] + struct.pack("<I", position)).digest()
        position = (position + 4) % 20
    return words


def show(name, words):
    print(name)
    print(",\n".join("    0x%08X" % w for w in words))


seed = hashlib.sha1(struct.pack("<Q", COUNTER) + struct.pack("<8H", *TIME)).digest()
print("// seed digest", seed.hex())
show("// seeded", sequence(seed, 12))
show("// unseeded", sequence(bytes(20), 8))
