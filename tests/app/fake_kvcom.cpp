// A recording stand-in for the vendor's KvCom.dll, loaded by the touchpad
// probe from the test program's folder. Its answers come from the
// environment variable QM_FAKE_KVCOM, read at KvCreateAPI:
//   "<create> <find22> <find02> <device> <property> <value>"
// (results of KvCreateAPI, the (2, 2) and (0, 2) searches, device creation,
// the property read, and the property value). Every call is appended to the
// environment variable QM_FAKE_KVCOM_LOG, so the test can read the record
// after the library has been freed; live objects are counted there too.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

struct Answers {
    long create = 0, find22 = 1, find02 = 0, device = 0, property = 0;
    unsigned long value = 0;
};
Answers g_answers;
int g_live = 0;

void Log(const std::string& line)
{
    char buf[4096] = {0};
    GetEnvironmentVariableA("QM_FAKE_KVCOM_LOG", buf, sizeof(buf));
    std::string all(buf);
    if (!all.empty()) all += "|";
    all += line;
    SetEnvironmentVariableA("QM_FAKE_KVCOM_LOG", all.c_str());
}

struct Object {
    void** table;
};

ULONG WINAPI Release(void* self)
{
    --g_live;
    Log(std::string("release ") + (static_cast<Object*>(self)->table[16] ? "device" : "api") +
        " live " + std::to_string(g_live));
    delete static_cast<Object*>(self);
    return 0;
}

LONG WINAPI Unexpected(void*)
{
    Log("unexpected slot");
    return 99;
}

LONG WINAPI Find(void*, DWORD s1, DWORD s2, DWORD* pHandle)
{
    Log("find " + std::to_string(s1) + " " + std::to_string(s2));
    const long r = (s1 == 2 && s2 == 2) ? g_answers.find22 : g_answers.find02;
    if (r == 0) *pHandle = (s1 == 2) ? 55 : 77;
    return r;
}

void* g_deviceTable[17];
void* g_apiTable[17];

LONG WINAPI CreateDevice(void*, DWORD handle, void** ppDevice)
{
    Log("device " + std::to_string(handle));
    if (g_answers.device != 0) return g_answers.device;
    ++g_live;
    *ppDevice = new Object{g_deviceTable};
    return 0;
}

LONG WINAPI Attach(void*, DWORD handle)
{
    Log("attach " + std::to_string(handle));
    return 5;  // ignored by the probe
}

LONG WINAPI GetProperty(void*, DWORD id, DWORD* pValue)
{
    char hex[16];
    std::snprintf(hex, sizeof(hex), "%lx", static_cast<unsigned long>(id));
    Log(std::string("get ") + hex + " in " + std::to_string(*pValue));
    if (g_answers.property == 0) *pValue = g_answers.value;
    else *pValue = 1;  // a value that must not count after a failed read
    return g_answers.property;
}

void Fill(void** table, bool device)
{
    for (int i = 0; i < 16; ++i) table[i] = reinterpret_cast<void*>(&Unexpected);
    table[2] = reinterpret_cast<void*>(&Release);
    if (device) {
        table[3] = reinterpret_cast<void*>(&GetProperty);
        table[15] = reinterpret_cast<void*>(&Attach);
    } else {
        table[4] = reinterpret_cast<void*>(&Find);
        table[5] = reinterpret_cast<void*>(&CreateDevice);
    }
    table[16] = device ? table : nullptr;  // marks which kind an object is
}

}  // namespace

extern "C" __declspec(dllexport) LONG WINAPI KvCreateAPI(void** ppApi)
{
    char answers[256] = {0};
    GetEnvironmentVariableA("QM_FAKE_KVCOM", answers, sizeof(answers));
    std::sscanf(answers, "%ld %ld %ld %ld %ld %lu", &g_answers.create, &g_answers.find22, &g_answers.find02,
                &g_answers.device, &g_answers.property, &g_answers.value);
    Fill(g_apiTable, false);
    Fill(g_deviceTable, true);
    Log("create");
    if (g_answers.create != 0) return g_answers.create;
    ++g_live;
    *ppApi = new Object{g_apiTable};
    return 0;
}
