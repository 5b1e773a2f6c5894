/* Protocol core of the substitute system-interface driver.
 *
 * Freestanding: no OS headers, no heap, no static constructors. All state is
 * one zero-initialised global, set up lazily with the default scenario. The
 * kernel shim (sim/driver) serialises the calls; nothing here locks.
 * Callable from C (the shim) and C++ (tests).
 */
#ifndef QM_SIM_DEVICE_H
#define QM_SIM_DEVICE_H

#include <stdint.h>

#include "sim/device/sim_control_protocol.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A control code sent to the interface device: the real protocol. `in` and
 * `out` may be the same buffer (METHOD_BUFFERED); the input is copied before
 * any output is written. At most min(*returned, outCap) bytes are written to
 * `out`; *returned may exceed outCap only under a SIM_FAULT_LENGTH fault.
 * Returns a SIM_STATUS_* value. Every call is recorded. */
uint32_t SimDeviceControl(uint32_t code, const void* in, uint32_t inLen,
                          void* out, uint32_t outCap, uint32_t* returned);

/* A private control code (SIM_CTL_*) sent to the control device. Not recorded. */
uint32_t SimControlRequest(uint32_t code, const void* in, uint32_t inLen,
                           void* out, uint32_t outCap, uint32_t* returned);

/* Opening and closing the interface device. SimDeviceOpen returns
 * SIM_STATUS_ACCESS_DENIED while the scenario refuses opens. */
uint32_t SimDeviceOpen(void);
void SimDeviceClose(void);

/* Whether the interface device's symbolic links should exist: not while the
 * scenario refuses opens (Wine does not fail CreateFile on a refused
 * IRP_MJ_CREATE, so the shim takes the links away instead). */
uint32_t SimDeviceInterfaceLinked(void);

/* The Win32 error a caller sees for a SIM_STATUS_* value (0 for OK). */
uint32_t SimStatusToWin32Error(uint32_t status);

#ifdef __cplusplus
}
#endif

#endif /* QM_SIM_DEVICE_H */
