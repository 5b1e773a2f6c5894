// Driver keys of a scenario file, applied through SimControl.
#include "sim/scenario/driver_setup.h"

#include "sim/driver/sim_control.h"
#include "driver_channel/misc_protocol.h"

#include <initializer_list>

namespace robot {
namespace {

bool ParseVersion(const std::string& text, unsigned out[4]) {
    std::vector<std::string> parts = qmsim::Split(text, '.');
    if (parts.size() != 4) return false;
    for (int i = 0; i < 4; ++i) {
        unsigned long long v = 0;
        if (!qmsim::ParseNumber(parts[i], v)) return false;
        out[i] = static_cast<unsigned>(v);
    }
    return true;
}

// A key whose value is one of `names` (lower case); its index in *out.
bool ParseChoice(const qmsim::Scenario& sc, const char* key, std::initializer_list<const char*> names,
                 uint8_t* out, std::string* error) {
    const std::string value = qmsim::Lower(sc.Get(key));
    uint8_t i = 0;
    for (const char* name : names) {
        if (value == name) {
            *out = i;
            return true;
        }
        ++i;
    }
    std::string list;
    for (const char* name : names) list += (list.empty() ? "" : " | ") + std::string(name);
    *error = std::string(key) + ": " + list;
    return false;
}

bool ParseBattery(const std::string& value, uint8_t* status) {
    std::string v = qmsim::Lower(value);
    if (v == "answer") {
        *status = 0;
        return true;
    }
    if (v == "silent") {
        *status = 1;
        return true;
    }
    return false;
}

}  // namespace

bool ApplyDriverScenario(const qmsim::Scenario& sc, std::string* error) {
    SimScenario s;
    SimScenarioInitDefaults(&s);

    std::string version = sc.Get("driver");
    bool present = qmsim::Lower(version) != "none";
    unsigned parts[4] = {};
    if (present && !ParseVersion(version, parts)) {
        *error = "driver: not a version: " + version;
        return false;
    }
    // The runner's default: sessions exactly when the product would use them.
    std::string sessions = qmsim::Lower(sc.Get("driver.sessions"));
    if (sessions == "no") s.flags &= ~SIM_FLAG_SESSIONS;
    else if (sessions != "yes") {
        *error = "driver.sessions: yes or no";
        return false;
    }
    if (present) {
        for (size_t i = 0; i < version.size() && i + 1 < sizeof s.driverVersion; ++i) s.driverVersion[i] = version[i];
        s.driverVersion[version.size() < sizeof s.driverVersion ? version.size() : sizeof s.driverVersion - 1] = 0;
    }

    std::string handshake = qmsim::Lower(sc.Get("handshake"));
    if (handshake == "fail") {
        SimControl::AddFault(&s, SIM_TARGET_PHASE2, SIM_FAULT_CORRUPT_PROOF, 0, SIM_STATUS_OK, 0, 0);
    } else if (handshake != "ok") {
        *error = "handshake: ok or fail";
        return false;
    }

    SimControl::SetModel(&s, sc.Get("model").c_str());

    // The flat-pad query is the first capsule of the run.
    std::string flat = qmsim::Lower(sc.Get("flatpad"));
    if (flat == "fail") {
        SimControl::AddFault(&s, SIM_TARGET_CAPSULE, SIM_FAULT_FAIL, 0, SIM_STATUS_UNSUCCESSFUL, 0, 1);
    } else {
        unsigned long long v = 0;
        if (!qmsim::ParseNumber(flat, v) || v > 0xFFFF) {
            *error = "flatpad: a 16-bit value or fail";
            return false;
        }
        s.flatPadValues[0] = static_cast<uint16_t>(v);
    }
    unsigned long long status = 0;
    if (!qmsim::ParseNumber(sc.Get("flatpad.status"), status) || status > 255) {
        *error = "flatpad.status: a byte";
        return false;
    }
    s.flatPadStatus = static_cast<uint8_t>(status);

    s.batteryCount = 2;
    s.batteries[1] = s.batteries[0];
    if (!ParseBattery(sc.Get("battery0"), &s.batteries[0].status) ||
        !ParseBattery(sc.Get("battery1"), &s.batteries[1].status)) {
        *error = "battery0/battery1: answer or silent";
        return false;
    }

    // The answers the protocol allows for every capsule reply and misc call,
    // and whether a refused client fault fails the scenario.
    if (!ParseChoice(sc, "driver.returned", {"capsule", "padded", "payload"}, &s.replyReturned, error) ||
        !ParseChoice(sc, "driver.replysize", {"right", "zero", "odd", "large"}, &s.replySizeField, error) ||
        !ParseChoice(sc, "driver.status4", {"0", "1", "2"}, &s.status4Count, error))
        return false;
    uint8_t lenient = 0;
    if (!ParseChoice(sc, "driver.strict", {"yes", "no"}, &lenient, error)) return false;
    s.strict = lenient ? 0 : 1;

    if (!SimControl::SetScenario(s)) {
        *error = "the substitute driver cannot be reached (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    if (present) {
        std::wstring wv = qmsim::Widen(version);
        if (!SimControl::RegisterInterface(0, wv.c_str()) || !SimControl::SetDriverVersion(0, wv.c_str()) ||
            !SimControl::SetLinked(0, true)) {
            *error = "cannot register the driver interface";
            return false;
        }
    } else if (!SimControl::SetLinked(0, false)) {
        *error = "cannot hide the driver interface";
        return false;
    }
    return true;
}

std::vector<std::string> CheckDriverAfterRun(const std::string& expectHandshake) {
    std::vector<std::string> problems;
    SimSummary summary;
    if (!SimControl::GetSummary(&summary)) return problems;
    // expect.handshake = done | none: whether the session handshake was run.
    const std::string hs = qmsim::Lower(expectHandshake);
    if (!hs.empty()) {
        std::vector<SimExchange> exchanges;
        SimControl::GetExchanges(&exchanges);
        size_t n = 0;
        for (const SimExchange& e : exchanges)
            if (e.code == IOCTL_MISC_HANDSHAKE && e.inLength > 0) ++n;
        if (hs == "none" && n) problems.push_back("the handshake ran although the driver is older than 1.0.8");
        if (hs == "done" && !n) problems.push_back("the handshake did not run");
    }
    // What the driver saw stays as a transcript, for the independent checker.
    SimControl::WriteTranscriptFile(L"C:\\qmsim\\transcript.jsonl");
    SimScenario applied;
    if (summary.violations && SimControl::GetScenario(&applied) && applied.strict)
        problems.push_back("the driver refused " + std::to_string(summary.violations) +
                           " request(s) as client faults, the first (exchange " +
                           std::to_string(summary.firstViolationExchange) + ") for reason " +
                           std::to_string(summary.firstViolation));
    if (summary.sessionState != SIM_SESSION_NONE)
        problems.push_back("a driver session is still open (state " + std::to_string(summary.sessionState) + ")");
    if (summary.opens != summary.closes)
        problems.push_back("driver opened " + std::to_string(summary.opens) + " times but closed " +
                           std::to_string(summary.closes) + " times");
    return problems;
}

}  // namespace robot
