#include "crypto/fault.h"

#ifdef _WIN32
#include <windows.h>

void BigIntOverflowFault()
{
    RaiseException(EXCEPTION_INT_OVERFLOW, EXCEPTION_NONCONTINUABLE, 0, NULL);
    // Resuming a non-continuable exception is itself an exception; never here.
    __builtin_trap();
}

void BigIntDivideByZeroFault()
{
    RaiseException(EXCEPTION_INT_DIVIDE_BY_ZERO, 0, 0, NULL);
}

#else

// A trap rather than abort(): the code stays free of the C runtime.
void BigIntOverflowFault()
{
    __builtin_trap();
}

void BigIntDivideByZeroFault()
{
    __builtin_trap();
}

#endif
