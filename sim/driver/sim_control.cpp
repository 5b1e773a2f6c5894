// Test-side control of the substitute system-interface driver.
#include "sim/driver/sim_control.h"

#include <windows.h>
#include <setupapi.h>

#include <stdio.h>
#include <string.h>

#include "driver_channel/misc_protocol.h"

#ifndef QM_TRANSCRIPT_DIR
#define QM_TRANSCRIPT_DIR "transcripts"
#endif

namespace SimControl {
namespace {

const GUID kMiscInterfaceGuid = {
    MiscProtocol::kMiscInterfaceGuidData1, MiscProtocol::kMiscInterfaceGuidData2,
    MiscProtocol::kMiscInterfaceGuidData3,
    {MiscProtocol::kMiscInterfaceGuidData4[0], MiscProtocol::kMiscInterfaceGuidData4[1],
     MiscProtocol::kMiscInterfaceGuidData4[2], MiscProtocol::kMiscInterfaceGuidData4[3],
     MiscProtocol::kMiscInterfaceGuidData4[4], MiscProtocol::kMiscInterfaceGuidData4[5],
     MiscProtocol::kMiscInterfaceGuidData4[6], MiscProtocol::kMiscInterfaceGuidData4[7]}};
// The "System devices" setup class.
const GUID kSystemClassGuid = {0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

const wchar_t* const kInstanceIds[2] = {SIM_INSTANCE_ID_FIRST, SIM_INSTANCE_ID_SECOND};
const wchar_t* const kInstanceKeyNames[2] = {L"##?#root#qmsim#0000#", L"##?#root#qmsim#0001#"};
const wchar_t kDeviceClassesKey[] =
    L"System\\CurrentControlSet\\Control\\DeviceClasses\\{80dcc0c5-bd3e-4bc0-8a06-11eae4ae7224}";

bool ValidInstance(int instance)
{
    if (instance == 0 || instance == 1) return true;
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
}

// One control-code exchange with the control device.
bool Control(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned = nullptr)
{
    HANDLE device = CreateFileW(SIM_CONTROL_USER_PATH, GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) return false;
    DWORD got = 0;
    BOOL ok = DeviceIoControl(device, code, const_cast<void*>(in), inSize, out, outSize, &got, nullptr);
    DWORD error = GetLastError();
    CloseHandle(device);
    if (returned != nullptr) *returned = got;
    SetLastError(ok ? ERROR_SUCCESS : error);
    return ok != FALSE;
}

void AppendHex(std::string* text, const uint8_t* bytes, uint32_t count)
{
    static const char kDigits[] = "0123456789abcdef";
    for (uint32_t i = 0; i < count; ++i) {
        text->push_back(kDigits[bytes[i] >> 4]);
        text->push_back(kDigits[bytes[i] & 15]);
    }
}

void AppendSecrets(std::string* text, const SimSecrets& s)
{
    char number[64];
    snprintf(number, sizeof number, "{\"secrets\": {\"exchange\": %u, \"session_id\": %u, ", unsigned(s.exchange),
             unsigned(s.sessionId));
    *text += number;
    *text += "\"private_exponent\": \"";
    AppendHex(text, s.privateExponent, sizeof s.privateExponent);
    *text += "\", \"driver_nonce\": \"";
    AppendHex(text, s.driverNonce, sizeof s.driverNonce);
    *text += "\", \"handshake_key\": \"";
    AppendHex(text, s.handshakeKey, sizeof s.handshakeKey);
    *text += "\", \"confirmation\": \"";
    AppendHex(text, s.confirmation, sizeof s.confirmation);
    *text += "\", \"session_key\": \"";
    AppendHex(text, s.sessionKey, sizeof s.sessionKey);
    *text += "\"}}\n";
}

// Opens the device-information element of an instance in a new set.
bool OpenInstance(int instance, HDEVINFO* set, SP_DEVINFO_DATA* device)
{
    *set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    if (*set == INVALID_HANDLE_VALUE) return false;
    device->cbSize = sizeof *device;
    if (!SetupDiOpenDeviceInfoW(*set, kInstanceIds[instance], nullptr, 0, device)) {
        DWORD error = GetLastError();
        SetupDiDestroyDeviceInfoList(*set);
        SetLastError(error);
        return false;
    }
    return true;
}

bool WriteVersion(HKEY key, const wchar_t* version, VersionFormat format)
{
    DWORD chars = DWORD(wcslen(version));
    DWORD bytes = (format == VersionFormat::String ? chars + 1 : chars) * sizeof(wchar_t);
    DWORD type = format == VersionFormat::Binary ? REG_BINARY : REG_SZ;
    LONG rc = RegSetValueExW(key, MISC_DRIVER_VERSION_VALUE_NAME, 0, type,
                             reinterpret_cast<const BYTE*>(version), bytes);
    SetLastError(DWORD(rc));
    return rc == ERROR_SUCCESS;
}

// Finds the DeviceClasses subkey of the instance's interface (Wine writes it
// in lower case; compare without regard to case).
bool FindInterfaceKey(int instance, std::wstring* name)
{
    HKEY classKey;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDeviceClassesKey, 0, KEY_READ, &classKey);
    if (rc != ERROR_SUCCESS) {
        SetLastError(DWORD(rc));
        return false;
    }
    const size_t prefixLength = wcslen(kInstanceKeyNames[instance]);
    bool found = false;
    wchar_t sub[512];
    for (DWORD i = 0;; ++i) {
        DWORD length = sizeof sub / sizeof sub[0];
        if (RegEnumKeyExW(classKey, i, sub, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        if (length >= prefixLength && _wcsnicmp(sub, kInstanceKeyNames[instance], prefixLength) == 0) {
            *name = std::wstring(kDeviceClassesKey) + L"\\" + sub;
            found = true;
            break;
        }
    }
    RegCloseKey(classKey);
    SetLastError(found ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND);
    return found;
}

}  // namespace

bool SetScenario(const SimScenario& scenario)
{
    return Control(SIM_CTL_SET_SCENARIO, &scenario, sizeof scenario, nullptr, 0);
}

bool GetScenario(SimScenario* scenario)
{
    return Control(SIM_CTL_GET_SCENARIO, nullptr, 0, scenario, sizeof *scenario);
}

bool Reset()
{
    return Control(SIM_CTL_RESET, nullptr, 0, nullptr, 0);
}

bool GetSummary(SimSummary* summary)
{
    return Control(SIM_CTL_GET_SUMMARY, nullptr, 0, summary, sizeof *summary);
}

bool GetExchange(uint32_t index, SimExchange* exchange)
{
    return Control(SIM_CTL_GET_EXCHANGE, &index, sizeof index, exchange, sizeof *exchange);
}

bool GetExchanges(std::vector<SimExchange>* exchanges)
{
    exchanges->clear();
    SimSummary summary;
    if (!GetSummary(&summary)) return false;
    exchanges->resize(summary.exchangeCount);
    for (uint32_t i = 0; i < summary.exchangeCount; ++i)
        if (!GetExchange(i, &(*exchanges)[i])) return false;
    return true;
}

bool GetSecrets(std::vector<SimSecrets>* secrets)
{
    secrets->clear();
    SimSummary summary;
    if (!GetSummary(&summary)) return false;
    secrets->resize(summary.sessionsRecorded);
    for (uint32_t i = 0; i < summary.sessionsRecorded; ++i)
        if (!Control(SIM_CTL_GET_SECRETS, &i, sizeof i, &(*secrets)[i], sizeof(SimSecrets))) return false;
    return true;
}

bool TranscriptText(std::string* text)
{
    text->clear();
    std::vector<SimExchange> exchanges;
    std::vector<SimSecrets> secrets;
    if (!GetExchanges(&exchanges) || !GetSecrets(&secrets)) return false;
    char number[64];
    size_t next = 0;  // the next session's secrets, written right after its phase 1
    for (size_t i = 0; i < exchanges.size(); ++i) {
        const SimExchange& e = exchanges[i];
        snprintf(number, sizeof number, "{\"code\": %u, \"in\": \"", unsigned(e.code));
        *text += number;
        AppendHex(text, e.in, e.inLength < SIM_MAX_RECORDED_BYTES ? e.inLength : SIM_MAX_RECORDED_BYTES);
        *text += "\", \"out\": \"";
        AppendHex(text, e.out, e.outLength);
        snprintf(number, sizeof number, "\", \"returned\": %u, \"ok\": %s, \"error\": %u, ", unsigned(e.returned),
                 e.status == SIM_STATUS_OK ? "true" : "false", unsigned(e.win32Error));
        *text += number;
        snprintf(number, sizeof number, "\"capacity\": %u, \"violation\": %u}\n", unsigned(e.outCapacity),
                 SimIsViolation(e.rejection) ? unsigned(e.rejection) : 0u);
        *text += number;
        for (; next < secrets.size() && secrets[next].exchange <= i; ++next) AppendSecrets(text, secrets[next]);
    }
    // Sessions of exchanges beyond the record.
    for (; next < secrets.size(); ++next) AppendSecrets(text, secrets[next]);
    return true;
}

bool WriteTranscriptFile(const wchar_t* path)
{
    std::string text;
    if (!TranscriptText(&text)) return false;
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    BOOL ok = WriteFile(file, text.data(), DWORD(text.size()), &written, nullptr);
    DWORD error = GetLastError();
    CloseHandle(file);
    if (!ok || written != text.size()) {
        SetLastError(ok ? ERROR_WRITE_FAULT : error);
        return false;
    }
    return true;
}

bool WriteTranscript(const char* name)
{
    std::string dir = QM_TRANSCRIPT_DIR;
    CreateDirectoryA(dir.c_str(), nullptr);
    std::string path = dir + "/" + name + ".jsonl";
    std::wstring wide(path.begin(), path.end());
    return WriteTranscriptFile(wide.c_str());
}

// The model record as the driver lays it out, written here from the record's
// description rather than from the client's constants: the short form in
// bytes 40-51, the long form's length at 95 and its characters 12 to L from
// byte 96 (its first 11 are those of the short form).
constexpr size_t kRecordShortForm = 40;
constexpr size_t kRecordShortLength = 12;
constexpr size_t kRecordLongLength = 95;
constexpr size_t kRecordLongTail = 96;
constexpr size_t kLongFormHead = 11;
constexpr size_t kLongFormMax = 19;

void SetModel(SimScenario* scenario, const char* shortForm, const char* longForm)
{
    uint8_t* record = scenario->modelRecord;
    size_t shortLength = strlen(shortForm);
    for (size_t i = 0; i < kRecordShortLength; ++i)
        record[kRecordShortForm + i] = uint8_t(i < shortLength ? shortForm[i] : ' ');
    record[kRecordLongLength] = 0;
    if (longForm == nullptr) return;
    size_t length = strlen(longForm);
    if (length > kLongFormMax) length = kLongFormMax;
    size_t head = length < kLongFormHead ? length : kLongFormHead;
    memcpy(record + kRecordShortForm, longForm, head);
    for (size_t i = head; i < length; ++i) record[kRecordLongTail + i - kLongFormHead] = uint8_t(longForm[i]);
    record[kRecordLongLength] = uint8_t(length);
}

void SetModelLongLength(SimScenario* scenario, uint8_t length)
{
    scenario->modelRecord[kRecordLongLength] = length;
}

bool AddFault(SimScenario* scenario, uint32_t target, uint32_t kind, int32_t param, uint32_t status, uint32_t skip,
              uint32_t count)
{
    for (SimFault& f : scenario->faults) {
        if (f.target != SIM_TARGET_NONE) continue;
        f.target = target;
        f.kind = kind;
        f.param = param;
        f.status = status;
        f.skip = skip;
        f.count = count;
        return true;
    }
    return false;
}

bool RegisterInterface(int instance, const wchar_t* version, VersionFormat format)
{
    if (!ValidInstance(instance)) return false;
    HDEVINFO set = SetupDiCreateDeviceInfoList(&kSystemClassGuid, nullptr);
    if (set == INVALID_HANDLE_VALUE) return false;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    bool ok;
    if (SetupDiCreateDeviceInfoW(set, kInstanceIds[instance], &kSystemClassGuid, nullptr, nullptr, 0, &device)) {
        ok = SetupDiRegisterDeviceInfo(set, &device, 0, nullptr, nullptr, nullptr) != FALSE;
    } else {
        ok = GetLastError() == ERROR_DEVINST_ALREADY_EXISTS &&
             SetupDiOpenDeviceInfoW(set, kInstanceIds[instance], nullptr, 0, &device);
    }
    SP_DEVICE_INTERFACE_DATA interfaceData = {};
    interfaceData.cbSize = sizeof interfaceData;
    ok = ok && SetupDiCreateDeviceInterfaceW(set, &device, &kMiscInterfaceGuid, nullptr, 0, &interfaceData);
    HKEY key = nullptr;
    if (ok) {
        key = SetupDiCreateDevRegKeyW(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, nullptr, nullptr);
        ok = key != reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
    }
    if (ok) {
        ok = WriteVersion(key, version, format);
        RegCloseKey(key);
    }
    DWORD error = GetLastError();
    SetupDiDestroyDeviceInfoList(set);
    if (!ok) {
        SetLastError(error);
        return false;
    }
    return SetLinked(instance, true);
}

bool SetDriverVersion(int instance, const wchar_t* version, VersionFormat format)
{
    if (!ValidInstance(instance)) return false;
    HDEVINFO set;
    SP_DEVINFO_DATA device;
    if (!OpenInstance(instance, &set, &device)) return false;
    HKEY key = SetupDiCreateDevRegKeyW(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, nullptr, nullptr);
    bool ok = key != reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
    if (ok) {
        ok = WriteVersion(key, version, format);
        RegCloseKey(key);
    }
    DWORD error = GetLastError();
    SetupDiDestroyDeviceInfoList(set);
    SetLastError(ok ? ERROR_SUCCESS : error);
    return ok;
}

bool DeleteDriverVersion(int instance)
{
    if (!ValidInstance(instance)) return false;
    HDEVINFO set;
    SP_DEVINFO_DATA device;
    if (!OpenInstance(instance, &set, &device)) return false;
    HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_SET_VALUE);
    bool ok = key != reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
    if (ok) {
        LONG rc = RegDeleteValueW(key, MISC_DRIVER_VERSION_VALUE_NAME);
        ok = rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND;
        if (!ok) SetLastError(DWORD(rc));
        RegCloseKey(key);
    }
    DWORD error = GetLastError();
    SetupDiDestroyDeviceInfoList(set);
    SetLastError(ok ? ERROR_SUCCESS : error);
    return ok;
}

bool SetLinked(int instance, bool linked)
{
    if (!ValidInstance(instance)) return false;
    std::wstring name;
    if (!FindInterfaceKey(instance, &name)) return !linked;  // no interface: nothing linked
    name += L"\\#\\Control";
    HKEY key;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, name.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                              nullptr);
    if (rc == ERROR_SUCCESS) {
        DWORD value = linked ? 1 : 0;
        rc = RegSetValueExW(key, L"Linked", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
        RegCloseKey(key);
    }
    SetLastError(DWORD(rc));
    return rc == ERROR_SUCCESS;
}

bool RemoveInterface(int instance)
{
    if (!ValidInstance(instance)) return false;
    // Unlinking first makes the interface absent even where removal is partial.
    SetLinked(instance, false);
    HDEVINFO set;
    SP_DEVINFO_DATA device;
    if (!OpenInstance(instance, &set, &device)) return GetLastError() == ERROR_NO_SUCH_DEVINST;
    SP_DEVICE_INTERFACE_DATA interfaceData = {};
    interfaceData.cbSize = sizeof interfaceData;
    while (SetupDiEnumDeviceInterfaces(set, &device, &kMiscInterfaceGuid, 0, &interfaceData)) {
        if (!SetupDiRemoveDeviceInterface(set, &interfaceData)) break;
    }
    BOOL removed = SetupDiRemoveDevice(set, &device);
    DWORD error = GetLastError();
    SetupDiDestroyDeviceInfoList(set);
    SetLastError(removed ? ERROR_SUCCESS : error);
    return removed != FALSE;
}

std::wstring InterfacePath(int instance)
{
    std::wstring path;
    if (!ValidInstance(instance)) return path;
    HDEVINFO set = SetupDiGetClassDevsW(&kMiscInterfaceGuid, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return path;
    SP_DEVICE_INTERFACE_DATA interfaceData = {};
    interfaceData.cbSize = sizeof interfaceData;
    for (DWORD i = 0; path.empty() && SetupDiEnumDeviceInterfaces(set, nullptr, &kMiscInterfaceGuid, i, &interfaceData);
         ++i) {
        DWORD required = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, nullptr, 0, &required, nullptr);
        if (required == 0) continue;
        std::vector<uint8_t> buffer(required);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        SP_DEVINFO_DATA device = {};
        device.cbSize = sizeof device;
        if (!SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, detail, required, nullptr, &device)) continue;
        wchar_t id[256];
        if (SetupDiGetDeviceInstanceIdW(set, &device, id, 256, nullptr) && _wcsicmp(id, kInstanceIds[instance]) == 0)
            path = detail->DevicePath;
    }
    SetupDiDestroyDeviceInfoList(set);
    return path;
}

}  // namespace SimControl
