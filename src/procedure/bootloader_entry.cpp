// The handshake that moves the device from its main firmware into the
// bootloader. Whatever the firmware answers, the bootloader may already be
// running, so the link is always reopened at the bootloader's rate.
#include "procedure/bootloader_entry.h"

#include <cstring>

#include "link/device_link.h"
#include "platform/clock.h"

uint8_t handshake_reply[6];
uint32_t handshake_attempts;

namespace {

// The reply is compared as a zero-terminated string against "ZZd": the first
// four bytes decide, its CRC bytes are never looked at. Bytes a short answer
// did not reach still hold what earlier answers left there.
bool handshake_accepted() { return std::memcmp(handshake_reply, HANDSHAKE_REPLY, 4) == 0; }

}  // namespace

PhaseEnd enter_bootloader() {
    if (!link_open(HANDSHAKE_BAUD)) return UpdateOutcome::LinkError;

    handshake_attempts = 0;
    for (;;) {
        if (send_command(HANDSHAKE_REQUEST, sizeof HANDSHAKE_REQUEST) == LinkResult::Failed) {
            return UpdateOutcome::LinkError;
        }
        // Silence is no failure: a device already in its bootloader does not
        // answer, and the run goes on to it all the same.
        read_some(handshake_reply, sizeof handshake_reply);
        ++handshake_attempts;
        if (handshake_attempts >= HANDSHAKE_ATTEMPTS) break;
        if (handshake_accepted()) break;
    }

    link_close();
    sleep_ms(REOPEN_PAUSE);
    if (!link_open(BOOTLOADER_BAUD)) return UpdateOutcome::LinkError;
    return GO_ON;
}
