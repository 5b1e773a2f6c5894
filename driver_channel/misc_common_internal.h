// What the three parts of CMiscCommon (discovery and plain calls, the
// handshake, capsules and misc calls) share: heap blocks from the process
// heap, the open-handle test, the size of the session cipher's context, and
// the record of why a call made of phases stopped.
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

// Why a call made of phases stopped: the result it returns, the text for the
// owner's buffer (null: the failing step wrote its own, or there is none),
// and the thread's last error to leave when the call keeps one. A phase that
// fails records it here and returns false; the call's one way out reports it
// after releasing what the call holds, so the last error is read right after
// the failure and set again just before returning.
struct Failure {
    DWORD result;
    LPCWSTR text;
    bool keepError;
    DWORD error;

    // Keeps the last error the failing call left, or none.
    bool Fail(DWORD code, LPCWSTR message, bool keepLastError) {
        return FailWith(code, message, keepLastError, keepLastError ? GetLastError() : 0);
    }
    // Keeps the given last error.
    bool FailWithError(DWORD code, LPCWSTR message, DWORD lastError) {
        return FailWith(code, message, true, lastError);
    }

private:
    bool FailWith(DWORD code, LPCWSTR message, bool keep, DWORD lastError) {
        result = code;
        text = message;
        keepError = keep;
        error = lastError;
        return false;
    }
};

}  // namespace Internal
}  // namespace MiscCommon
