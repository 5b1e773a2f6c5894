// Byte helpers shared by every part of the project: little-endian reads and
// writes of 16- and 32-bit values, and the one wipe for buffers that held key
// material or secrets.
//
// Portable and kernel-fit: no OS headers, no heap, inline only.
#pragma once
#include <stddef.h>
#include <stdint.h>

namespace Bytes {

inline uint16_t ReadLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

inline uint32_t ReadLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline void WriteLe16(uint8_t* p, uint16_t value) {
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
}

inline void WriteLe32(uint8_t* p, uint32_t value) {
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
    p[2] = static_cast<uint8_t>(value >> 16);
    p[3] = static_cast<uint8_t>(value >> 24);
}

// Overwrites a buffer with zeros byte by byte. The volatile stores keep the
// compiler from dropping them when the buffer is freed or goes out of scope
// right after.
inline void Wipe(void* buffer, size_t size) {
    volatile uint8_t* p = static_cast<volatile uint8_t*>(buffer);
    while (size--) *p++ = 0;
}

}  // namespace Bytes
