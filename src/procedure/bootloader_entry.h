// Bootloader entry: asks the running main firmware, at 1,500,000 baud, to
// hand over to its bootloader, then reopens the link at 115,200 baud.
#pragma once

#include <cstdint>

#include "update_outcome.h"

inline constexpr uint8_t HANDSHAKE_REQUEST[6] = {0x5A, 0x5A, 0x63, 0x00, 0xE6, 0xDA};  // "ZZc"
inline constexpr uint8_t HANDSHAKE_REPLY[6] = {0x5A, 0x5A, 0x64, 0x00, 0x71, 0x43};    // "ZZd"
inline constexpr uint32_t HANDSHAKE_BAUD = 1500000;
inline constexpr uint32_t BOOTLOADER_BAUD = 115200;
inline constexpr uint32_t HANDSHAKE_ATTEMPTS = 3;
inline constexpr uint32_t REOPEN_PAUSE = 100;  // ms between close and reopen

extern uint8_t handshake_reply[6];
extern uint32_t handshake_attempts;

// GO_ON with the link open at BOOTLOADER_BAUD, or LinkError. Prints nothing.
PhaseEnd enter_bootloader();
