// The host binding's part of the platform's basic declarations: how the routines the platform
// declares are linked (as the emulated machine's own C++ routines) and the wide character, which
// stays char16_t on Linux. Included by platform/wdm.h before everything else.
#pragma once

// The routines of the kernel, the HAL and NDIS are host/'s own, with C++ linkage.
#define NTKERNELAPI extern
#define NTHALAPI extern
#define NDISAPI extern

typedef char16_t WCHAR;
// A string literal of WCHARs. Windows' wchar_t is 16 bits, Linux's 32, so the core writes its
// names as GVSP_WIDE("...") rather than L"...": L"" on Windows, u"" here.
#define GVSP_WIDE(text) u##text
