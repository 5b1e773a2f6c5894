// Driver keys of a scenario file, applied through SimControl.
#include "sim/scenario/driver_setup.h"

#include "sim/driver/sim_control.h"
#include "driver_channel/misc_protocol.h"

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

bool AtLeast108(const unsigned v[4]) {
    if (v[0] != 1) return v[0] > 1;
    if (v[1] != 0) return v[1] > 0;
    return v[2] >= 8;
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

    std::string version = sc.Get("driver", "1.0.8.0");
    bool present = qmsim::Lower(version) != "none";
    unsigned parts[4] = {1, 0, 8, 0};
    if (present && !ParseVersion(version, parts)) {
        *error = "driver: not a version: " + version;
        return false;
    }
    // By default a driver has sessions exactly when the product would use them.
    std::string sessions = qmsim::Lower(sc.Get("driver.sessions", AtLeast108(parts) ? "yes" : "no"));
    if (sessions == "no") s.flags &= ~SIM_FLAG_SESSIONS;
    else if (sessions != "yes") {
        *error = "driver.sessions: yes or no";
        return false;
    }
    if (present) {
        for (size_t i = 0; i < version.size() && i + 1 < sizeof s.driverVersion; ++i) s.driverVersion[i] = version[i];
        s.driverVersion[version.size() < sizeof s.driverVersion ? version.size() : sizeof s.driverVersion - 1] = 0;
    }

    std::string handshake = qmsim::Lower(sc.Get("handshake", "ok"));
    if (handshake == "fail") {
        SimControl::AddFault(&s, SIM_TARGET_PHASE2, SIM_FAULT_CORRUPT_PROOF, 0, SIM_STATUS_OK, 0, 0);
    } else if (handshake != "ok") {
        *error = "handshake: ok or fail";
        return false;
    }

    if (sc.Has("model")) SimControl::SetModel(&s, sc.Get("model").c_str());

    // The flat-pad query is the first capsule of the run.
    std::string flat = qmsim::Lower(sc.Get("flatpad", "1"));
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
    if (sc.Has("flatpad.status")) {
        unsigned long long v = 0;
        if (!qmsim::ParseNumber(sc.Get("flatpad.status"), v) || v > 255) {
            *error = "flatpad.status: a byte";
            return false;
        }
        s.flatPadStatus = static_cast<uint8_t>(v);
    }

    s.batteryCount = 2;
    s.batteries[1] = s.batteries[0];
    if (!ParseBattery(sc.Get("battery0", "answer"), &s.batteries[0].status) ||
        !ParseBattery(sc.Get("battery1", "silent"), &s.batteries[1].status)) {
        *error = "battery0/battery1: answer or silent";
        return false;
    }

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

std::vector<std::string> CheckDriverAfterRun(const qmsim::Scenario& sc) {
    std::vector<std::string> problems;
    SimSummary summary;
    if (!SimControl::GetSummary(&summary)) return problems;
    // expect.handshake = done | none: whether the session handshake was run.
    std::string hs = qmsim::Lower(sc.Get("expect.handshake"));
    if (!hs.empty()) {
        std::vector<SimExchange> exchanges;
        SimControl::GetExchanges(&exchanges);
        size_t n = 0;
        for (const SimExchange& e : exchanges)
            if (e.code == IOCTL_MISC_HANDSHAKE && e.inLength > 0) ++n;
        if (hs == "none" && n) problems.push_back("the handshake ran although the driver is older than 1.0.8");
        if (hs == "done" && !n) problems.push_back("the handshake did not run");
    }
    if (summary.sessionState != SIM_SESSION_NONE)
        problems.push_back("a driver session is still open (state " + std::to_string(summary.sessionState) + ")");
    if (summary.opens != summary.closes)
        problems.push_back("driver opened " + std::to_string(summary.opens) + " times but closed " +
                           std::to_string(summary.closes) + " times");
    return problems;
}

}  // namespace robot
