// Asks the touchpad vendor's driver API whether the touchpad is reached the
// expected way, present and enabled.
#include "app/app.h"
#include "app/kvcom_api.h"

namespace {

// The method in slot nSlot of a COM-style object's table.
template <typename Fn>
Fn Slot(void* pObject, unsigned nSlot)
{
    void** pTable = *static_cast<void***>(pObject);
    return reinterpret_cast<Fn>(pTable[nSlot]);
}

void Release(void* pObject)
{
    Slot<PFN_KVCOM_RELEASE>(pObject, KVCOM_SLOT_RELEASE)(pObject);
}

// Calls the library's KvCreateAPI. Its calling convention is not fixed: the
// export is a plain function, not a COM method, and a library built with
// cdecl leaves its argument on the stack where a stdcall one removes it. In
// the 32-bit build the stack pointer is therefore kept in a callee-saved
// register across the call and put back afterwards, which is right for
// either convention. 64-bit code has only one convention.
LONG CallCreateApi(PFN_KVCREATEAPI pfnCreateApi, void** ppApi)
{
#if defined(__i386__)
    LONG result;
    __asm__ volatile(
        "movl %%esp, %%esi\n\t"
        "pushl %[arg]\n\t"
        "call *%[fn]\n\t"
        "movl %%esi, %%esp"
        : "=a"(result)
        : [fn] "r"(pfnCreateApi), [arg] "r"(ppApi)
        : "esi", "ecx", "edx", "memory", "cc");
    return result;
#else
    return pfnCreateApi(ppApi);
#endif
}

// Everything that needs the API object. Returns the message id.
UINT ProbeWithApi(void* pApi, BOOL* pbNoDevice)
{
    DWORD dwHandle = 0;
    auto pfnFind = Slot<PFN_KVCOM_FIND_DEVICE>(pApi, KVCOM_API_SLOT_FIND_DEVICE);

    // A touchpad found by this search means the SMBus driver is disabled.
    if (pfnFind(pApi, KVCOM_SEARCH_SMBUS_SELECTOR1, KVCOM_SEARCH_SMBUS_SELECTOR2, &dwHandle) == 0) {
        return IDS_SMBUS_DRIVER_DISABLED;
    }
    // No touchpad at all is not a failure: the information tool decides,
    // with a short time limit.
    if (pfnFind(pApi, KVCOM_SEARCH_PRESENT_SELECTOR1, KVCOM_SEARCH_PRESENT_SELECTOR2, &dwHandle) != 0) {
        *pbNoDevice = TRUE;
        return 0;
    }

    void* pDevice = NULL;
    auto pfnCreate = Slot<PFN_KVCOM_CREATE_DEVICE>(pApi, KVCOM_API_SLOT_CREATE_DEVICE);
    if (pfnCreate(pApi, dwHandle, &pDevice) != 0 || pDevice == NULL) {
        return IDS_TOUCHPAD_DISABLED;
    }

    Slot<PFN_KVCOM_ATTACH>(pDevice, KVCOM_DEV_SLOT_ATTACH)(pDevice, dwHandle);

    DWORD dwValue = 0;
    UINT id = 0;
    auto pfnGet = Slot<PFN_KVCOM_GET_PROPERTY>(pDevice, KVCOM_DEV_SLOT_GET_PROPERTY);
    if (pfnGet(pDevice, KVCOM_PROPERTY_DISABLED, &dwValue) != 0 || dwValue == 1) {
        id = IDS_TOUCHPAD_DISABLED;
    }
    Release(pDevice);
    return id;
}

}  // namespace

UINT ProbeTouchpadApi(BOOL* pbNoDevice)
{
    *pbNoDevice = FALSE;

    // The touchpad driver installs the library in the system folder; a file of
    // that name beside the program or in the current directory is never
    // loaded.
    HMODULE hLibrary = LoadSystemLibrary(KVCOM_LIBRARY_NAME);
    if (hLibrary == NULL) {
        return IDS_TOUCHPAD_NOT_FOUND;
    }

    UINT id = IDS_TOUCHPAD_NOT_FOUND;
    auto pfnCreateApi = reinterpret_cast<PFN_KVCREATEAPI>(
        reinterpret_cast<void*>(GetProcAddress(hLibrary, KVCOM_CREATE_API_EXPORT)));
    if (pfnCreateApi != NULL) {
        void* pApi = NULL;
        // A library that reports success without an object is treated like
        // a failed creation rather than called through a null pointer.
        if (CallCreateApi(pfnCreateApi, &pApi) == 0 && pApi != NULL) {
            id = ProbeWithApi(pApi, pbNoDevice);
            Release(pApi);
        }
    }

    FreeLibrary(hLibrary);
    return id;
}
