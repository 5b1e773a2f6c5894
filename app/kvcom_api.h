// The part of the touchpad vendor's driver API library (KvCom.dll) that the
// program uses. The library hands out COM-style objects: each object starts
// with a pointer to its table of methods; slots 0 to 2 are QueryInterface,
// AddRef and Release; every method takes the object as its first argument,
// uses the stdcall convention (WINAPI) and returns a 32-bit result, 0 for
// success.
//
// The library exports KvCreateAPI under that plain, undecorated name, with
// one argument. Its calling convention is the library's choice (stdcall or
// cdecl); the probe calls it so that either leaves the stack right. The
// object slots are stdcall, as COM methods are.
#pragma once

#include <windows.h>

#define KVCOM_LIBRARY_NAME L"KvCom.dll"
#define KVCOM_CREATE_API_EXPORT "KvCreateAPI"

// KvCreateAPI(where to store the API object pointer).
typedef LONG(WINAPI* PFN_KVCREATEAPI)(void** ppApi);

// Slot numbers, counted from 0 in table order.
enum KvComSlot : unsigned {
    KVCOM_SLOT_RELEASE = 2,           // either object: ULONG Release(this)
    KVCOM_API_SLOT_FIND_DEVICE = 4,   // API: (this, selector1, selector2, DWORD* pHandle)
    KVCOM_API_SLOT_CREATE_DEVICE = 5, // API: (this, DWORD handle, void** ppDevice)
    KVCOM_DEV_SLOT_GET_PROPERTY = 3,  // device: (this, DWORD propertyId, DWORD* pValue)
    KVCOM_DEV_SLOT_ATTACH = 15,       // device: (this, DWORD handle)
};

typedef ULONG(WINAPI* PFN_KVCOM_RELEASE)(void* pThis);
typedef LONG(WINAPI* PFN_KVCOM_FIND_DEVICE)(void* pThis, DWORD dwSelector1, DWORD dwSelector2,
                                            DWORD* pdwHandle);
typedef LONG(WINAPI* PFN_KVCOM_CREATE_DEVICE)(void* pThis, DWORD dwHandle, void** ppDevice);
typedef LONG(WINAPI* PFN_KVCOM_GET_PROPERTY)(void* pThis, DWORD dwPropertyId, DWORD* pdwValue);
typedef LONG(WINAPI* PFN_KVCOM_ATTACH)(void* pThis, DWORD dwHandle);

// Selectors of the device searches made by the probe.
#define KVCOM_SEARCH_SMBUS_SELECTOR1 2      // (2, 2): found only when the SMBus driver is disabled
#define KVCOM_SEARCH_SMBUS_SELECTOR2 2
#define KVCOM_SEARCH_PRESENT_SELECTOR1 0    // (0, 2): the touchpad is present
#define KVCOM_SEARCH_PRESENT_SELECTOR2 2

// Property read from the device object: 1 means the touchpad is disabled.
#define KVCOM_PROPERTY_DISABLED 0x10000171u
