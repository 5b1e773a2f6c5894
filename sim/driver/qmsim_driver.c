/* Kernel-mode shell of the substitute system-interface driver.
 *
 * A legacy (non-PnP) driver with two devices:
 *  - the interface device, reached through the symbolic links that match the
 *    device-interface paths the installer registers (instances 0000 and 0001
 *    of ROOT\QMSIM); it serves the real protocol through SimDeviceControl;
 *  - the control device \\.\QmSimControl, which serves only the private
 *    control codes of the tests (SimControlRequest).
 * All protocol work happens in the freestanding C++ core (sim/device); calls
 * into it are serialised by one kernel mutex.
 *
 * Kept in C: the mingw DDK headers do not compile as C++.
 */
#include <ntddk.h>

#include "sim/device/sim_device.h"

static PDEVICE_OBJECT g_interfaceDevice;
static PDEVICE_OBJECT g_controlDevice;
static KMUTEX g_coreLock;

static const WCHAR* const kInterfaceLinks[] = {SIM_INTERFACE_LINK_FIRST, SIM_INTERFACE_LINK_SECOND};

static NTSTATUS ToNtStatus(uint32_t status)
{
    switch (status) {
    case SIM_STATUS_OK: return STATUS_SUCCESS;
    case SIM_STATUS_NOT_SUPPORTED: return STATUS_NOT_SUPPORTED;
    case SIM_STATUS_INVALID_PARAMETER: return STATUS_INVALID_PARAMETER;
    case SIM_STATUS_BUFFER_TOO_SMALL: return STATUS_BUFFER_TOO_SMALL;
    case SIM_STATUS_ACCESS_DENIED: return STATUS_ACCESS_DENIED;
    case SIM_STATUS_INVALID_DEVICE_REQUEST: return STATUS_INVALID_DEVICE_REQUEST;
    case SIM_STATUS_BUFFER_OVERFLOW: return STATUS_BUFFER_OVERFLOW;
    default: return STATUS_UNSUCCESSFUL;
    }
}

static BOOLEAN g_interfaceLinked;

static NTSTATUS CreateLink(const WCHAR* linkName, const WCHAR* deviceName)
{
    UNICODE_STRING link, target;
    RtlInitUnicodeString(&link, linkName);
    RtlInitUnicodeString(&target, deviceName);
    return IoCreateSymbolicLink(&link, &target);
}

/* Creates or deletes the interface links as the scenario wants them. */
static NTSTATUS SyncInterfaceLinks(void)
{
    UNICODE_STRING link;
    NTSTATUS status = STATUS_SUCCESS;
    BOOLEAN wanted = SimDeviceInterfaceLinked() != 0;
    ULONG i;
    if (wanted == g_interfaceLinked) return STATUS_SUCCESS;
    for (i = 0; i < sizeof kInterfaceLinks / sizeof kInterfaceLinks[0]; ++i) {
        if (wanted) {
            NTSTATUS s = CreateLink(kInterfaceLinks[i], SIM_INTERFACE_DEVICE_NAME);
            if (!NT_SUCCESS(s)) status = s;
        } else {
            RtlInitUnicodeString(&link, kInterfaceLinks[i]);
            IoDeleteSymbolicLink(&link);
        }
    }
    g_interfaceLinked = wanted;
    return status;
}

static void LockCore(void)
{
    KeWaitForSingleObject(&g_coreLock, Executive, KernelMode, FALSE, NULL);
}

static void UnlockCore(void)
{
    KeReleaseMutex(&g_coreLock, FALSE);
}

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = STATUS_SUCCESS;
    if (device == g_interfaceDevice) {
        LockCore();
        if (stack->MajorFunction == IRP_MJ_CREATE)
            status = ToNtStatus(SimDeviceOpen());
        else if (stack->MajorFunction == IRP_MJ_CLOSE)
            SimDeviceClose();
        UnlockCore();
    }
    return Complete(irp, status, 0);
}

static NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    uint32_t code = stack->Parameters.DeviceIoControl.IoControlCode;
    uint32_t inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    uint32_t outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    void* buffer = irp->AssociatedIrp.SystemBuffer;
    uint32_t returned = 0;
    uint32_t status;

    /* Every code of both devices is METHOD_BUFFERED; for any other method the
     * system buffer is not ours to read, so the core sees no buffers. */
    if ((code & 3u) != 0 || buffer == NULL) {
        buffer = NULL;
        inLength = 0;
        outLength = 0;
    }
    LockCore();
    if (device == g_controlDevice) {
        status = SimControlRequest(code, buffer, inLength, buffer, outLength, &returned);
        SyncInterfaceLinks();
    } else
        status = SimDeviceControl(code, buffer, inLength, buffer, outLength, &returned);
    UnlockCore();
    return Complete(irp, ToNtStatus(status), returned);
}

static NTSTATUS NTAPI DispatchOther(PDEVICE_OBJECT device, PIRP irp)
{
    (void)device;
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

static void DeleteLinks(void)
{
    UNICODE_STRING link;
    ULONG i;
    if (g_interfaceLinked) {
        for (i = 0; i < sizeof kInterfaceLinks / sizeof kInterfaceLinks[0]; ++i) {
            RtlInitUnicodeString(&link, kInterfaceLinks[i]);
            IoDeleteSymbolicLink(&link);
        }
        g_interfaceLinked = FALSE;
    }
    RtlInitUnicodeString(&link, SIM_CONTROL_LINK_NAME);
    IoDeleteSymbolicLink(&link);
}

static void NTAPI DriverUnload(PDRIVER_OBJECT driver)
{
    (void)driver;
    DeleteLinks();
    if (g_controlDevice != NULL) IoDeleteDevice(g_controlDevice);
    if (g_interfaceDevice != NULL) IoDeleteDevice(g_interfaceDevice);
    g_controlDevice = NULL;
    g_interfaceDevice = NULL;
}

static NTSTATUS CreateDevice(PDRIVER_OBJECT driver, const WCHAR* name, PDEVICE_OBJECT* device)
{
    UNICODE_STRING deviceName;
    NTSTATUS status;
    RtlInitUnicodeString(&deviceName, name);
    status = IoCreateDevice(driver, 0, &deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, device);
    if (NT_SUCCESS(status)) {
        (*device)->Flags |= DO_BUFFERED_IO;
        (*device)->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    return status;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    NTSTATUS status;
    ULONG i;
    (void)registryPath;

    KeInitializeMutex(&g_coreLock, 0);
    for (i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = DispatchOther;
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    driver->DriverUnload = DriverUnload;

    status = CreateDevice(driver, SIM_INTERFACE_DEVICE_NAME, &g_interfaceDevice);
    if (NT_SUCCESS(status)) status = CreateDevice(driver, SIM_CONTROL_DEVICE_NAME, &g_controlDevice);
    if (NT_SUCCESS(status)) status = CreateLink(SIM_CONTROL_LINK_NAME, SIM_CONTROL_DEVICE_NAME);
    if (NT_SUCCESS(status)) {
        LockCore();
        status = SyncInterfaceLinks();
        UnlockCore();
    }
    if (!NT_SUCCESS(status)) DriverUnload(driver);
    return status;
}
