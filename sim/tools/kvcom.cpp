// Substitute for the touchpad vendor's driver API library, KvCom.dll (32-bit).
//
// It exports KvCreateAPI and hands out COM-style objects whose tables of
// virtual methods have the slots the update tool uses:
//
//   API object     0 QueryInterface, 1 AddRef, 2 Release,
//                  4 FindDevice(selector1, selector2, DWORD* handle),
//                  5 CreateDevice(handle, void** device)
//   device object  0 QueryInterface, 1 AddRef, 2 Release,
//                  3 GetProperty(id, DWORD* value), 15 Attach(handle)
//
// Every method is __stdcall with the object as its first argument, as COM
// methods are on 32-bit Windows; the export itself is stdcall or cdecl. The answers come from the scenario file:
//
//   kvcom          = ok | createfail        (absent / noexport: see the runner)
//   kvcom.smbus    = notfound | found       FindDevice(2, 2)
//   kvcom.touchpad = found | notfound       FindDevice(0, 2)
//   kvcom.device   = ok | fail              CreateDevice
//   kvcom.property = <number> | fail        GetProperty(0x10000171)
//   kvcom.convention = stdcall | cdecl      KvCreateAPI's convention (32-bit)
//
// Each call is written to the run log; at unload the library logs how many
// objects are still alive, so a leaked object shows up.
//
// Built with KVCOM_NO_EXPORT it lacks the export, for the scenario of a
// library without it.
#include "sim_scenario.h"

#include <string>

namespace {

constexpr DWORD kTouchpadHandle = 0x4B560001;
constexpr DWORD kSmbusHandle = 0x4B560002;
constexpr DWORD kEnabledProperty = 0x10000171;
constexpr HRESULT kNotFound = static_cast<HRESULT>(0x80070490);  // element not found
constexpr HRESULT kFailed = E_FAIL;

LONG g_liveObjects = 0;

std::string Hex(DWORD v) {
    char buf[16];
    wsprintfA(buf, "0x%08lX", static_cast<unsigned long>(v));
    return buf;
}

std::string Setting(const char* key) {
    qmsim::Scenario s;
    s.Load();
    return qmsim::Lower(s.Get(key));
}

void Log(const std::string& what) { qmsim::LogRun("kvcom " + what); }

struct Object;
using Slot = void*;

struct Object {
    const Slot* vtbl;
    LONG refs;
    const char* kind;
    DWORD handle;
};

HRESULT WINAPI QueryInterface(Object* self, const GUID*, void** out) {
    Log(std::string("queryinterface ") + self->kind);
    if (out) *out = nullptr;
    return E_NOINTERFACE;
}

ULONG WINAPI AddRef(Object* self) {
    LONG n = InterlockedIncrement(&self->refs);
    Log(std::string("addref ") + self->kind + " refs=" + std::to_string(n));
    return static_cast<ULONG>(n);
}

ULONG WINAPI Release(Object* self) {
    LONG n = InterlockedDecrement(&self->refs);
    Log(std::string("release ") + self->kind + " refs=" + std::to_string(n));
    if (n == 0) {
        InterlockedDecrement(&g_liveObjects);
        HeapFree(GetProcessHeap(), 0, self);
    }
    return static_cast<ULONG>(n < 0 ? 0 : n);
}

// Slots nobody should call: they log the call and fail. They take only the
// object, so a caller that passes more arguments is caught by the log rather
// than by the stack.
template <int N>
HRESULT WINAPI Unexpected(Object* self) {
    Log(std::string("unexpected slot ") + std::to_string(N) + " " + self->kind);
    return E_NOTIMPL;
}

HRESULT WINAPI DeviceGetProperty(Object* self, DWORD id, DWORD* value) {
    std::string setting = Setting("kvcom.property");
    if (id != kEnabledProperty || !value || setting == "fail") {
        Log("getproperty " + Hex(id) + " -> fail");
        return kFailed;
    }
    unsigned long long v = 0;
    if (!qmsim::ParseNumber(setting, v)) {
        Log("getproperty bad scenario value " + setting);
        return kFailed;
    }
    *value = static_cast<DWORD>(v);
    Log("getproperty " + Hex(id) + " handle=" + Hex(self->handle) + " -> 0 value=" + std::to_string(v));
    return S_OK;
}

HRESULT WINAPI DeviceAttach(Object* self, DWORD handle) {
    Log("slot15 handle=" + Hex(handle) + (handle == self->handle ? " matches" : " mismatch"));
    return S_OK;
}

const Slot kDeviceTable[] = {
    reinterpret_cast<Slot>(&QueryInterface),   reinterpret_cast<Slot>(&AddRef),
    reinterpret_cast<Slot>(&Release),          reinterpret_cast<Slot>(&DeviceGetProperty),
    reinterpret_cast<Slot>(&Unexpected<4>),    reinterpret_cast<Slot>(&Unexpected<5>),
    reinterpret_cast<Slot>(&Unexpected<6>),    reinterpret_cast<Slot>(&Unexpected<7>),
    reinterpret_cast<Slot>(&Unexpected<8>),    reinterpret_cast<Slot>(&Unexpected<9>),
    reinterpret_cast<Slot>(&Unexpected<10>),   reinterpret_cast<Slot>(&Unexpected<11>),
    reinterpret_cast<Slot>(&Unexpected<12>),   reinterpret_cast<Slot>(&Unexpected<13>),
    reinterpret_cast<Slot>(&Unexpected<14>),   reinterpret_cast<Slot>(&DeviceAttach),
    reinterpret_cast<Slot>(&Unexpected<16>),   reinterpret_cast<Slot>(&Unexpected<17>),
};

Object* NewObject(const Slot* table, const char* kind, DWORD handle) {
    Object* o = static_cast<Object*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(Object)));
    if (!o) return nullptr;
    o->vtbl = table;
    o->refs = 1;
    o->kind = kind;
    o->handle = handle;
    InterlockedIncrement(&g_liveObjects);
    return o;
}

HRESULT WINAPI ApiFindDevice(Object*, DWORD selector1, DWORD selector2, DWORD* handle) {
    std::string sel = std::to_string(selector1) + "," + std::to_string(selector2);
    bool found = false;
    DWORD value = 0;
    if (selector1 == 2 && selector2 == 2) {
        found = Setting("kvcom.smbus") == "found";
        value = kSmbusHandle;
    } else if (selector1 == 0 && selector2 == 2) {
        found = Setting("kvcom.touchpad") == "found";
        value = kTouchpadHandle;
    }
    if (!handle) found = false;
    if (found) *handle = value;
    Log("finddevice " + sel + " -> " + (found ? "0 handle=" + Hex(value) : std::string("notfound")));
    return found ? S_OK : kNotFound;
}

HRESULT WINAPI ApiCreateDevice(Object*, DWORD handle, void** device) {
    if (!device) return E_POINTER;
    if (Setting("kvcom.device") == "fail" || handle != kTouchpadHandle) {
        Log("createdevice handle=" + Hex(handle) + " -> fail");
        return kFailed;
    }
    Object* o = NewObject(kDeviceTable, "device", handle);
    *device = o;
    Log("createdevice handle=" + Hex(handle) + (o ? " -> 0" : " -> out of memory"));
    return o ? S_OK : E_OUTOFMEMORY;
}

const Slot kApiTable[] = {
    reinterpret_cast<Slot>(&QueryInterface), reinterpret_cast<Slot>(&AddRef),
    reinterpret_cast<Slot>(&Release),        reinterpret_cast<Slot>(&Unexpected<3>),
    reinterpret_cast<Slot>(&ApiFindDevice),  reinterpret_cast<Slot>(&ApiCreateDevice),
    reinterpret_cast<Slot>(&Unexpected<6>),  reinterpret_cast<Slot>(&Unexpected<7>),
};

}  // namespace

#ifndef KVCOM_NO_EXPORT
// The work of KvCreateAPI, whichever convention it is exported with.
extern "C" HRESULT __cdecl KvCreateApiWork(void** api) {
    if (!api) return E_POINTER;
    if (Setting("kvcom") == "createfail") {
        Log("create -> fail");
        return kFailed;
    }
    Object* o = NewObject(kApiTable, "api", 0);
    *api = o;
    Log(o ? "create -> 0" : "create -> out of memory");
    return o ? S_OK : E_OUTOFMEMORY;
}

#if defined(__i386__)
// 32-bit: the export's calling convention is the scenario's choice
// (kvcom.convention = stdcall | cdecl), read at every call. stdcall removes
// the argument from the stack on return, cdecl leaves that to the caller; a
// caller that assumes the other one finds its stack pointer 4 bytes off.
extern "C" int __cdecl KvCreateApiIsCdecl() {
    const std::string convention = Setting("kvcom.convention");
    if (convention != "stdcall" && convention != "cdecl") Log("unexpected kvcom.convention " + convention);
    return convention == "cdecl";
}

__asm__(".text\n"
        ".globl _KvCreateAPI\n"
        "_KvCreateAPI:\n"
        "    pushl 4(%esp)\n"
        "    call _KvCreateApiWork\n"
        "    addl $4, %esp\n"
        "    pushl %eax\n"
        "    call _KvCreateApiIsCdecl\n"
        "    testl %eax, %eax\n"
        "    popl %eax\n"
        "    jnz 1f\n"
        "    ret $4\n"
        "1:  ret\n"
        ".section .drectve\n"
        ".ascii \" -export:KvCreateAPI\"\n"
        ".text\n");
#else
// 64-bit code has one calling convention; kvcom.convention does not apply.
extern "C" __declspec(dllexport) HRESULT WINAPI KvCreateAPI(void** api) { return KvCreateApiWork(api); }
#endif
#else
extern "C" __declspec(dllexport) HRESULT WINAPI KvCreateInterface(void** api) {
    if (api) *api = nullptr;
    return E_NOTIMPL;
}
#endif

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        Log("load");
    } else if (reason == DLL_PROCESS_DETACH) {
        // At process exit (reserved != NULL) objects may legitimately remain.
        Log(std::string(reserved ? "exit" : "unload") + " live=" + std::to_string(g_liveObjects));
    }
    return TRUE;
}
