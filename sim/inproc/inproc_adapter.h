// The simulated adapter linked into a test in place of the D2XX library, on
// the tests' virtual clock: a whole run takes milliseconds of real time.
#pragma once

#include "model/adapter.h"
#include "model/scenario.h"

namespace sim {

// Starts a fresh adapter and device for the given scenario.
void start(const Scenario& scenario);
Adapter& adapter();
// Takes every fault out of the scenario and replugs the adapter; the device
// keeps its state (in its bootloader, erased, part programmed).
void clear_faults();

}  // namespace sim
