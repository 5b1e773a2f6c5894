// Sets the substitute system-interface driver up for a scenario, and reads
// back what it saw, through the driver's private control interface.
#pragma once

#include <string>
#include <vector>

#include "sim/tools/sim_scenario.h"

namespace robot {

// Applies the driver keys of the scenario (driver, driver.sessions,
// handshake, model, flatpad, flatpad.status, battery0, battery1). Returns
// false with a reason when the driver cannot be reached or a value is not
// understood.
bool ApplyDriverScenario(const qmsim::Scenario& scenario, std::string* error);

// After the run: whether the session handshake ran as expect.handshake (done
// or none; empty: not checked) says, and problems with the driver's state (a
// refused client fault, a session left open, more opens than closes); its
// transcript is written. Empty when all is well or nothing can be read.
std::vector<std::string> CheckDriverAfterRun(const std::string& expectHandshake);

}  // namespace robot
