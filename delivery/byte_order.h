// Unaligned multi-byte fields in network (big-endian) order, as every wire format the driver
// reads or writes carries them: loads and stores through the platform's copy and byte swaps.
// The processor is little-endian, as on every Windows target. Any IRQL.
#pragma once

#include "platform/wdm.h"

inline USHORT ReadBigEndian16(const UCHAR* bytes)
{
    USHORT value;
    RtlCopyMemory(&value, bytes, sizeof(value));
    return RtlUshortByteSwap(value);
}

inline ULONG ReadBigEndian32(const UCHAR* bytes)
{
    ULONG value;
    RtlCopyMemory(&value, bytes, sizeof(value));
    return RtlUlongByteSwap(value);
}

inline ULONG64 ReadBigEndian64(const UCHAR* bytes)
{
    ULONG64 value;
    RtlCopyMemory(&value, bytes, sizeof(value));
    return RtlUlonglongByteSwap(value);
}

// GVSP's 24-bit packet id of the standard header.
inline ULONG ReadBigEndian24(const UCHAR* bytes)
{
    return ULONG{bytes[0]} << 16 | ReadBigEndian16(bytes + 1);
}

inline VOID WriteBigEndian16(PUCHAR bytes, USHORT value)
{
    value = RtlUshortByteSwap(value);
    RtlCopyMemory(bytes, &value, sizeof(value));
}

inline VOID WriteBigEndian32(PUCHAR bytes, ULONG value)
{
    value = RtlUlongByteSwap(value);
    RtlCopyMemory(bytes, &value, sizeof(value));
}

inline VOID WriteBigEndian64(PUCHAR bytes, ULONG64 value)
{
    value = RtlUlonglongByteSwap(value);
    RtlCopyMemory(bytes, &value, sizeof(value));
}
