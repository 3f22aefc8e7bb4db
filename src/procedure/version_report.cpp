// Queries the bootloader for the versions, prints them with the comparison
// notes, and waits for the user's answer.
#include "procedure/version_report.h"

#include <cstdio>

#include "image/update_image.h"
#include "link/device_link.h"
#include "platform/console.h"

uint8_t version_reply[4];
uint8_t status_byte;

namespace {

// The bootloader's own ordering: the major weighs 100, so 1.150 (250) counts
// as later than 2.30 (230).
int32_t version_value(uint8_t major, uint8_t minor) { return major * 100 + minor; }

void print_version(const char* title, uint8_t major, uint8_t minor) {
    std::printf("%s", title);
    std::printf("%d.", major);
    std::printf("%d\n", minor);
}

}  // namespace

PhaseEnd confirm_update() {
    if (send_command(VERSION_QUERY, sizeof VERSION_QUERY) == LinkResult::Failed) {
        return UpdateOutcome::LinkError;
    }
    // A reply of one to three bytes is taken as it is; the bytes that did not
    // come keep their earlier value, zero.
    if (read_some(version_reply, sizeof version_reply) == LinkResult::Timeout) {
        return UpdateOutcome::LinkError;
    }

    const uint8_t new_major = image_version_major();
    const uint8_t new_minor = image_version_minor();
    print_version("Bootloader firmware version: \n", version_reply[0], version_reply[1]);
    print_version("New main firmware version: \n", new_major, new_minor);
    if (version_reply[2] == NO_MAIN_FIRMWARE && version_reply[3] == NO_MAIN_FIRMWARE) {
        std::printf("Old main firmware not find. \n");
    } else {
        print_version("Old main firmware version: \n", version_reply[2], version_reply[3]);
        if (version_value(version_reply[2], version_reply[3]) > version_value(new_major, new_minor)) {
            std::printf("This firmvare has more early version. \n");
        }
        if (new_major == version_reply[2] && new_minor == version_reply[3]) {
            std::printf("This firmvare has identical version. \n");
        }
    }
    std::printf("Do you want to continue (Y or N)? \n");

    status_byte = 0;
    while (status_byte != 'y' && status_byte != 'Y' && status_byte != 'n' && status_byte != 'N') {
        const int key = console_getch();
        // No keyboard means no consent: the erase must never start without
        // an answer, and waiting for one that cannot come would hang.
        if (key == KEY_UNAVAILABLE) return UpdateOutcome::Declined;
        status_byte = static_cast<uint8_t>(key);
    }
    if (status_byte == 'n' || status_byte == 'N') {
        std::printf("N \n");
        return UpdateOutcome::Declined;
    }
    std::printf("Y \n");
    return GO_ON;
}
