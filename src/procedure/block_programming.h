// Erase and block programming: the bootloader erases the main firmware, then
// takes the payload in 512-byte blocks, each echoed, judged and answered.
#pragma once

#include <cstdint>

#include "update_outcome.h"

inline constexpr uint8_t ERASE_COMMAND[8] = {0x3E, 0xD1, 0x07, 0xC5, 0x62, 0xB4, 0x9F, 0x28};
inline constexpr uint8_t ERASE_ACK = 0x0F;
inline constexpr uint8_t ERASE_DONE = 0xF0;
inline constexpr uint8_t ECHO_MATCH = 0x01;
inline constexpr uint8_t ECHO_MISMATCH = 0xFF;
inline constexpr uint8_t BLOCK_ACCEPTED = 0x80;
inline constexpr uint32_t BLOCK_SIZE = 512;
inline constexpr uint32_t BLOCK_FAILURE_LIMIT = 20;  // rejections in a whole run
inline constexpr uint32_t ERASE_WAIT = 5000;         // ms for the erase to finish

extern uint32_t block_offset;
extern uint32_t block_failures;
extern uint8_t echo_block[BLOCK_SIZE];
extern uint8_t percent_done;
extern uint8_t last_percent;

// Always ends the run: Completed, UserAbort or LinkError.
UpdateOutcome program_firmware();
