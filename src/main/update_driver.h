// The update driver: the four phases in their fixed order, and the one way
// every run ends.
#pragma once

#include <cstdint>

#include "update_outcome.h"

inline constexpr uint32_t CLOSING_PAUSE = 1000;  // ms after the closing message

const char* closing_message(UpdateOutcome outcome);

UpdateOutcome run_update();

// Closes the link if a device phase ran, prints the closing message, pauses
// and gives the exit status, always 0.
int finish_run(UpdateOutcome outcome);
