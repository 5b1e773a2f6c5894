// What the three parts of CMiscCommon (discovery and plain calls, the
// handshake, capsules and misc calls) share: heap blocks from the process
// heap, the open-handle test and the size of the session cipher's context.
#pragma once
#include <windows.h>

#include "crypto/blowfish.h"

namespace MiscCommon {
namespace Internal {

constexpr DWORD kBlowfishContextSize = sizeof(BlowfishContext);
static_assert(sizeof(BlowfishContext) == 4168, "the session cipher context is 4168 bytes");

inline bool IsOpenHandle(HANDLE h) { return h != NULL && h != INVALID_HANDLE_VALUE; }

inline LPVOID HeapAllocZeroed(SIZE_T n) { return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, n); }

inline void HeapRelease(LPVOID p) {
    if (p) HeapFree(GetProcessHeap(), 0, p);
}

}  // namespace Internal
}  // namespace MiscCommon
