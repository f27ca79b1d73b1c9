// Unaligned multi-byte fields in network (big-endian) order, as every wire format the driver,
// the camera emulator and the gvspfilter command read or write carries them: loads and stores
// through a copy and the compiler's byte swaps, which compile to one load or store and one swap.
// The processor is little-endian, as on every Windows target. Self-contained (fixed-width types
// only), so that user-mode code includes it alone. Any IRQL.
#pragma once

#include <cstdint>

inline uint16_t ReadBigEndian16(const uint8_t* bytes)
{
    uint16_t value;
    __builtin_memcpy(&value, bytes, sizeof(value));
    return __builtin_bswap16(value);
}

inline uint32_t ReadBigEndian32(const uint8_t* bytes)
{
    uint32_t value;
    __builtin_memcpy(&value, bytes, sizeof(value));
    return __builtin_bswap32(value);
}

inline uint64_t ReadBigEndian64(const uint8_t* bytes)
{
    uint64_t value;
    __builtin_memcpy(&value, bytes, sizeof(value));
    return __builtin_bswap64(value);
}

// GVSP's 24-bit packet id of the standard header.
inline uint32_t ReadBigEndian24(const uint8_t* bytes)
{
    return uint32_t{bytes[0]} << 16 | ReadBigEndian16(bytes + 1);
}

inline void WriteBigEndian16(uint8_t* bytes, uint16_t value)
{
    value = __builtin_bswap16(value);
    __builtin_memcpy(bytes, &value, sizeof(value));
}

inline void WriteBigEndian32(uint8_t* bytes, uint32_t value)
{
    value = __builtin_bswap32(value);
    __builtin_memcpy(bytes, &value, sizeof(value));
}

inline void WriteBigEndian64(uint8_t* bytes, uint64_t value)
{
    value = __builtin_bswap64(value);
    __builtin_memcpy(bytes, &value, sizeof(value));
}

// The low 24 bits of `value`.
inline void WriteBigEndian24(uint8_t* bytes, uint32_t value)
{
    bytes[0] = static_cast<uint8_t>(value >> 16);
    WriteBigEndian16(bytes + 1, static_cast<uint16_t>(value));
}
