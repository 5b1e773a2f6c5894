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

// After the run: problems with the driver's state (a session left open,
// more opens than closes). Empty when all is well or nothing can be read.
std::vector<std::string> CheckDriverAfterRun(const qmsim::Scenario& scenario);

}  // namespace robot
