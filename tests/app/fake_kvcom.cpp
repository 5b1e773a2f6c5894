// A recording KvCom.dll beside the test program. Answers from QM_FAKE_KVCOM, "<create> <find (2,2)>
// <find (0,2)> <device> <property read> <property value>"; every call, with the live objects at each
// release, is appended to QM_FAKE_KVCOM_LOG, which the test reads after the library is freed.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

long g_create, g_find22, g_find02, g_device, g_property;
unsigned long g_value;
int g_live = 0;
void* g_apiTable[17];
void* g_deviceTable[17];

struct Object { void** table; };

void Log(const std::string& line)
{
    char buf[4096] = {0};
    GetEnvironmentVariableA("QM_FAKE_KVCOM_LOG", buf, sizeof(buf));
    SetEnvironmentVariableA("QM_FAKE_KVCOM_LOG", ((buf[0] ? std::string(buf) + "|" : std::string()) + line).c_str());
}

ULONG WINAPI Release(void* self)
{
    Object* o = static_cast<Object*>(self);
    Log(std::string("release ") + (o->table == g_deviceTable ? "device" : "api") + " live " + std::to_string(--g_live));
    delete o;
    return 0;
}

LONG WINAPI Unexpected(void*) { return Log("unexpected slot"), 99; }

LONG WINAPI Find(void*, DWORD s1, DWORD s2, DWORD* pHandle)
{
    Log("find " + std::to_string(s1) + " " + std::to_string(s2));
    const long r = (s1 == 2 && s2 == 2) ? g_find22 : g_find02;
    if (r == 0) *pHandle = (s1 == 2) ? 55 : 77;
    return r;
}

LONG WINAPI CreateDevice(void*, DWORD handle, void** ppDevice)
{
    Log("device " + std::to_string(handle));
    if (g_device == 0) *ppDevice = (++g_live, new Object{g_deviceTable});
    return g_device;
}

LONG WINAPI Attach(void*, DWORD handle) { return Log("attach " + std::to_string(handle)), 5; }  // result ignored

LONG WINAPI GetProperty(void*, DWORD id, DWORD* pValue)
{
    char line[64];
    std::snprintf(line, sizeof(line), "get %lx in %lu", (unsigned long)id, (unsigned long)*pValue);
    Log(line);
    *pValue = g_property == 0 ? g_value : 1;  // 1 must not count after a failed read
    return g_property;
}

}  // namespace

extern "C" __declspec(dllexport) LONG WINAPI KvCreateAPI(void** ppApi)
{
    char answers[256] = {0};
    GetEnvironmentVariableA("QM_FAKE_KVCOM", answers, sizeof(answers));
    std::sscanf(answers, "%ld %ld %ld %ld %ld %lu", &g_create, &g_find22, &g_find02, &g_device, &g_property, &g_value);
    for (int i = 0; i < 17; ++i) g_apiTable[i] = g_deviceTable[i] = reinterpret_cast<void*>(&Unexpected);
    g_apiTable[2] = g_deviceTable[2] = reinterpret_cast<void*>(&Release);
    g_apiTable[4] = reinterpret_cast<void*>(&Find);
    g_apiTable[5] = reinterpret_cast<void*>(&CreateDevice);
    g_deviceTable[3] = reinterpret_cast<void*>(&GetProperty);
    g_deviceTable[15] = reinterpret_cast<void*>(&Attach);
    Log("create");
    if (g_create == 0) *ppApi = (++g_live, new Object{g_apiTable});
    return g_create;
}
