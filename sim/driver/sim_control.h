// Test-side control of the substitute system-interface driver (Win32, C++).
//
// Library target: qm_sim_control (win32 tree). Every call opens the control
// device \\.\QmSimControl, does its work and closes it again, so the calls are
// independent and need no set-up. Functions return true on success; on
// failure the thread's last error tells why (ERROR_FILE_NOT_FOUND: the driver
// is not running — run scripts/make-prefix PREFIX ARCH --driver VERSION).
//
// The driver keeps one scenario and one record for all processes. Typical use
// in a test:
//
//     SimScenario s;
//     SimScenarioInitDefaults(&s);                 // sessions, model "VKRB2379JPN0", ...
//     s.faults[0] = {SIM_TARGET_PHASE2, SIM_FAULT_CORRUPT_PROOF, 0, SIM_STATUS_OK, 0, 1};
//     SimControl::SetScenario(s);                  // also ends any session and clears the record
//     ... run the client ...
//     SimControl::GetExchanges(&exchanges);        // what the driver saw and answered
//     SimControl::WriteTranscript("handshake_ok"); // build/transcripts/handshake_ok.jsonl
//
// The device-interface functions change the registration the client finds
// through the setup API (instance 0 is ROOT\QMSIM\0000, instance 1 is
// ROOT\QMSIM\0001). They write HKLM, which Wine's default token may do.
// This API is stable: other areas' tests depend on it.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "sim/device/sim_control_protocol.h"

namespace SimControl {

// --- Scenario and record (private control codes) ---------------------------

bool SetScenario(const SimScenario& scenario);
bool GetScenario(SimScenario* scenario);
// Ends any session and clears the record and fault counters; keeps the scenario.
bool Reset();
bool GetSummary(SimSummary* summary);
bool GetExchange(uint32_t index, SimExchange* exchange);
// All recorded exchanges, oldest first.
bool GetExchanges(std::vector<SimExchange>* exchanges);
// The secrets of every session made since the record was cleared, oldest first.
bool GetSecrets(std::vector<SimSecrets>* secrets);

// Writes the record as JSON lines: one object per exchange
//   {"code": <int>, "in": "<hex>", "out": "<hex of the bytes returned>",
//    "returned": <int>, "ok": <bool>, "error": <int>, "capacity": <output
//    buffer offered>, "violation": <SIM_REJECT_* of a refused client fault, or 0>}
// and, right after the phase 1 exchange that made a session, one line of that
// session's secrets {"secrets": {"exchange": <the phase 1's index>,
// "session_id": <int>, "private_exponent": ..., "driver_nonce": ...,
// "handshake_key": ..., "confirmation": ..., "session_key": ...}} (hex). The
// handshake key and the confirmation block are the driver's fixed values; the
// session key is zeros until the session's phase 3 made it.
// "in" holds at most the first 256 bytes of a request (every message of the
// protocol is shorter). WriteTranscriptFile takes a Windows path;
// WriteTranscript a bare name, written as <build>/transcripts/<name>.jsonl.
bool WriteTranscriptFile(const wchar_t* path);
bool WriteTranscript(const char* name);
// The JSON-lines text itself.
bool TranscriptText(std::string* text);

// Model record helpers for a scenario: the short form (12 characters, padded
// with spaces when shorter) and, when longForm is given, the long form of
// 12-19 characters (its first 11 characters replace those of the short form).
// SetModelLongLength stores any L at offset 95, for out-of-range tests.
void SetModel(SimScenario* scenario, const char* shortForm, const char* longForm = nullptr);
void SetModelLongLength(SimScenario* scenario, uint8_t length);

// Adds a fault to the first free slot; false when all slots are taken.
bool AddFault(SimScenario* scenario, uint32_t target, uint32_t kind, int32_t param = 0,
              uint32_t status = SIM_STATUS_OK, uint32_t skip = 0, uint32_t count = 1);

// --- Device-interface registration ------------------------------------------

enum class VersionFormat {
    String,                   // REG_SZ with its terminating null
    StringWithoutTerminator,  // REG_SZ whose byte count leaves out the terminator
    Binary,                   // REG_BINARY holding the UTF-16 text, no terminator
};

// Registers instance 0 or 1 (device, interface of GUID_DEVINTERFACE_MISC,
// driver key with "DriverVersion", Linked flag set). Idempotent.
bool RegisterInterface(int instance, const wchar_t* version, VersionFormat format = VersionFormat::String);
// Rewrites "DriverVersion" of a registered instance.
bool SetDriverVersion(int instance, const wchar_t* version, VersionFormat format = VersionFormat::String);
// Removes the "DriverVersion" value (the client's RegQueryValueEx then fails).
bool DeleteDriverVersion(int instance);
// Sets or clears the Linked flag: without it the interface is not present.
bool SetLinked(int instance, bool linked);
// Removes the instance's interface and device registration altogether.
bool RemoveInterface(int instance);
// The path the setup API reports for the instance's interface.
std::wstring InterfacePath(int instance);

}  // namespace SimControl
