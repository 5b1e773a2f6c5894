// The big-number guards inside the substitute driver. Kernel code cannot
// raise a user-mode structured exception; the guards are never reached with
// the driver's operands (fixed 33-limb numbers modulo the group prime), and
// should one be reached anyway, a trap is the loudest safe answer.
#include "crypto/fault.h"

void BigIntOverflowFault()
{
    __builtin_trap();
}

void BigIntDivideByZeroFault()
{
    __builtin_trap();
}
