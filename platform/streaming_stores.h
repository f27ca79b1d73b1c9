// The copy with streaming (non-temporal) stores that both bindings of CopyMemoryStreaming run:
// x64 SSE2 only, which the kernel may use at any IRQL without saving extended processor state.
// The destination's whole 64-byte lines are written with MOVNTDQ, which bypasses the caches; its
// partial lines at either end with ordinary stores. Streaming stores become visible in an order
// of their own: only a store fence (SFENCE) orders them before later stores.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_MSC_VER)
#include <emmintrin.h>
#endif

// One 16-byte block from `from` (any alignment) to `to` (16-byte aligned), bypassing the caches.
inline void StreamBlock(unsigned char* to, const unsigned char* from)
{
#if defined(_MSC_VER)
    _mm_stream_si128(reinterpret_cast<__m128i*>(to), _mm_loadu_si128(reinterpret_cast<const __m128i*>(from)));
#else
    typedef long long Block __attribute__((vector_size(16), aligned(16)));
    Block block;
    __builtin_memcpy(&block, from, sizeof block);
    __asm__ __volatile__("movntdq %1, %0" : "=m"(*reinterpret_cast<Block*>(to)) : "x"(block));
#endif
}

// Whole 64-byte lines only are streamed: a line written partly by streaming stores and partly by
// ordinary ones (the neighbouring packet's) would leave memory in partial writes.
inline void CopyWithStreamingStores(void* destination, const void* source, size_t length)
{
    auto* to = static_cast<unsigned char*>(destination);
    auto* from = static_cast<const unsigned char*>(source);
    size_t head = (64 - (reinterpret_cast<uintptr_t>(to) & 63)) & 63;
    if (length < head + 64) {
        __builtin_memcpy(to, from, length);
        return;
    }
    __builtin_memcpy(to, from, head);
    to += head;
    from += head;
    length -= head;
    for (; length >= 64; to += 64, from += 64, length -= 64) {
        StreamBlock(to, from);
        StreamBlock(to + 16, from + 16);
        StreamBlock(to + 32, from + 32);
        StreamBlock(to + 48, from + 48);
    }
    __builtin_memcpy(to, from, length);
}

inline void FenceStreamingStores()
{
#if defined(_MSC_VER)
    _mm_sfence();
#else
    __asm__ __volatile__("sfence" ::: "memory");
#endif
}
