// The Windows binding's part of the platform's basic declarations: every routine the kernel, the
// HAL and NDIS export is imported from them by name, with C linkage; WCHAR is the WDK's 16-bit
// wchar_t. Included by platform/wdm.h before everything else. With the WDK's compiler the WDK's
// own headers declare all of it but the literal macro.
#pragma once

// A string literal of WCHARs, as the WDK writes them.
#define GVSP_WIDE(text) L##text

#if !defined(_MSC_VER)

#if !defined(__x86_64__)
#error "the Windows binding lays records out for x64 only"
#endif

#define NTKERNELAPI extern "C" __declspec(dllimport)
#define NTHALAPI extern "C" __declspec(dllimport)
#define NDISAPI extern "C" __declspec(dllimport)

typedef wchar_t WCHAR;
static_assert(sizeof(WCHAR) == 2, "wchar_t is 16 bits on Windows");

#endif
