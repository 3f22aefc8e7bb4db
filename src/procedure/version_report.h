// Version report and confirmation: the bootloader's and the installed main
// firmware's versions beside the file's, and the user's Y or N.
#pragma once

#include <cstdint>

#include "update_outcome.h"

inline constexpr uint8_t VERSION_QUERY[4] = {0xA7, 0x3C, 0x90, 0xE4};
inline constexpr uint8_t NO_MAIN_FIRMWARE = 0xFF;  // in both installed bytes

// Bootloader major, minor; installed main firmware major, minor.
extern uint8_t version_reply[4];
// One byte shared with the programming phase: the answer key here, then the
// erase replies, the echo result and the block reply.
extern uint8_t status_byte;

// GO_ON after Y, Declined after N, LinkError when the bootloader does not
// answer the query.
PhaseEnd confirm_update();
