// The erase and the stop-and-wait block loop. Only the device's one-byte
// reply decides whether a block is taken; a rejected block is sent again
// within a budget for the whole run.
#include "procedure/block_programming.h"

#include <cstdio>
#include <cstring>

#include "image/update_image.h"
#include "link/device_link.h"
#include "platform/console.h"
#include "procedure/version_report.h"

uint32_t block_offset;
uint32_t block_failures;
uint8_t echo_block[BLOCK_SIZE];
uint8_t percent_done;
uint8_t last_percent = 1;  // makes the first figure, always 0, get printed

namespace {

bool erase_main_firmware() {
    if (send_command(ERASE_COMMAND, sizeof ERASE_COMMAND) == LinkResult::Failed) return false;
    if (read_some(&status_byte, 1) == LinkResult::Timeout || status_byte != ERASE_ACK) return false;
    arm_deadline(ERASE_WAIT);
    if (read_some(&status_byte, 1) == LinkResult::Timeout || status_byte != ERASE_DONE) return false;
    return true;
}

// One block's four legs, each under its own deadline; false when a leg times
// out. Leaves the device's reply in status_byte.
bool exchange_block(const uint8_t* block) {
    arm_deadline(COMMAND_WAIT);
    if (write_all(block, BLOCK_SIZE) == LinkResult::Timeout) return false;
    arm_deadline(COMMAND_WAIT);
    if (read_all(echo_block, BLOCK_SIZE) == LinkResult::Timeout) return false;
    arm_deadline(COMMAND_WAIT);
    status_byte = std::memcmp(echo_block, block, BLOCK_SIZE) == 0 ? ECHO_MATCH : ECHO_MISMATCH;
    if (write_all(&status_byte, 1) == LinkResult::Timeout) return false;
    arm_deadline(COMMAND_WAIT);
    if (read_some(&status_byte, 1) == LinkResult::Timeout) return false;
    return true;
}

}  // namespace

UpdateOutcome program_firmware() {
    if (!erase_main_firmware()) return UpdateOutcome::LinkError;
    std::printf("Erase OK.\n");

    const uint32_t payload = image_payload_length();
    block_offset = 0;
    while (block_offset < payload) {
        if (!exchange_block(image_block(block_offset))) return UpdateOutcome::LinkError;

        uint32_t figure_offset;
        uint32_t next_offset;
        if (status_byte == BLOCK_ACCEPTED) {
            figure_offset = block_offset;
            next_offset = block_offset + BLOCK_SIZE;
        } else {
            ++block_failures;
            if (block_failures >= BLOCK_FAILURE_LIMIT) return UpdateOutcome::LinkError;
            // The figure stays at the block before, so a resent block prints
            // nothing new (except a rejected first block, whose 0 is still due).
            figure_offset = block_offset == 0 ? 0 : block_offset - BLOCK_SIZE;
            next_offset = block_offset;
        }

        percent_done = static_cast<uint8_t>(figure_offset * 100 / payload);
        if (percent_done != last_percent) std::printf("%d %%\n", percent_done);
        last_percent = percent_done;

        if (console_kbhit()) return UpdateOutcome::UserAbort;
        block_offset = next_offset;
    }
    return UpdateOutcome::Completed;
}
