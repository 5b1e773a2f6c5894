// The two fatal guards of the big-number code. They end the process: on
// Windows through a structured exception that nothing handles, elsewhere by
// a trap. This is the only place that knows how the platform does it.
#pragma once

// Growing a number beyond its capacity (EXCEPTION_INT_OVERFLOW, non-continuable).
[[noreturn]] void BigIntOverflowFault();

// Division by zero (EXCEPTION_INT_DIVIDE_BY_ZERO). The exception is
// continuable: should a handler resume execution, this returns and the
// caller yields zero.
void BigIntDivideByZeroFault();
