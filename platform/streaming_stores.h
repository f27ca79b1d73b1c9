// The copies with streaming (non-temporal) stores that both bindings of CopyMemoryStreaming run.
// The destination's whole 64-byte lines are written with stores that bypass the caches; its
// partial lines at either end with ordinary stores. Streaming stores become visible in an order
// of their own: only a store fence (SFENCE) orders them before later stores.
// - 128-bit SSE2 stores (MOVNTDQ): x64 kernel code may use them at any IRQL without saving
//   extended processor state.
// - 256-bit AVX stores (VMOVNTDQ): two stores a line instead of four, markedly faster from memory;
//   the kernel may touch the AVX registers only between KeSaveExtendedProcessorState and
//   KeRestoreExtendedProcessorState.
#pragma once

#if defined(_MSC_VER)
// The WDK's kernel environment: C headers, the compiler's intrinsics, and memcpy, which the
// compiler expands inline (/Oi).
#include <immintrin.h>
#include <stddef.h>
#include <stdint.h>
extern "C" void* __cdecl memcpy(void* destination, const void* source, size_t length);
#else
#include <cstddef>
#include <cstdint>
#endif

// The ordinary copy of the partial lines.
inline void CopyPartialLines(unsigned char* to, const unsigned char* from, size_t length)
{
#if defined(_MSC_VER)
    memcpy(to, from, length);
#else
    __builtin_memcpy(to, from, length);
#endif
}

// Functions that use the AVX registers are compiled for them alone; MSVC needs no mark.
#if defined(__GNUC__) || defined(__clang__)
#define AVX_FUNCTION __attribute__((target("avx")))
#else
#define AVX_FUNCTION
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
// ordinary ones (the neighbouring packet's) would leave memory in partial writes. This copies
// with ordinary stores what comes before the destination's first whole line and moves the three
// past it; FALSE when no whole line follows, the copy then being done.
inline bool CopyToFirstWholeLine(unsigned char*& to, const unsigned char*& from, size_t& length)
{
    size_t head = (64 - (reinterpret_cast<uintptr_t>(to) & 63)) & 63;
    if (length < head + 64) {
        CopyPartialLines(to, from, length);
        return false;
    }
    CopyPartialLines(to, from, head);
    to += head;
    from += head;
    length -= head;
    return true;
}

inline void CopyWithStreamingStores(void* destination, const void* source, size_t length)
{
    auto* to = static_cast<unsigned char*>(destination);
    auto* from = static_cast<const unsigned char*>(source);
    if (!CopyToFirstWholeLine(to, from, length)) {
        return;
    }
    for (; length >= 64; to += 64, from += 64, length -= 64) {
        StreamBlock(to, from);
        StreamBlock(to + 16, from + 16);
        StreamBlock(to + 32, from + 32);
        StreamBlock(to + 48, from + 48);
    }
    CopyPartialLines(to, from, length);
}

// The same with 256-bit stores: two 32-byte blocks a line. Only with the AVX state saved.
AVX_FUNCTION inline void CopyWithWideStreamingStores(void* destination, const void* source, size_t length)
{
    auto* to = static_cast<unsigned char*>(destination);
    auto* from = static_cast<const unsigned char*>(source);
    if (!CopyToFirstWholeLine(to, from, length)) {
        return;
    }
    for (; length >= 64; to += 64, from += 64, length -= 64) {
#if defined(_MSC_VER)
        _mm256_stream_si256(reinterpret_cast<__m256i*>(to), _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from)));
        _mm256_stream_si256(
            reinterpret_cast<__m256i*>(to + 32), _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + 32)));
#else
        typedef long long Wide __attribute__((vector_size(32), aligned(32)));
        Wide low;
        Wide high;
        __builtin_memcpy(&low, from, sizeof low);
        __builtin_memcpy(&high, from + 32, sizeof high);
        __asm__ __volatile__("vmovntdq %1, %0" : "=m"(*reinterpret_cast<Wide*>(to)) : "x"(low));
        __asm__ __volatile__("vmovntdq %1, %0" : "=m"(*reinterpret_cast<Wide*>(to + 32)) : "x"(high));
#endif
    }
    CopyPartialLines(to, from, length);
    // Leaves the upper halves clean, so that the SSE code after it pays no transition.
#if defined(_MSC_VER)
    _mm256_zeroupper();
#else
    __asm__ __volatile__("vzeroupper" ::: "memory");
#endif
}

inline void FenceStreamingStores()
{
#if defined(_MSC_VER)
    _mm_sfence();
#else
    __asm__ __volatile__("sfence" ::: "memory");
#endif
}
