// Runs the phases of an update in order and ends every run the same way.
#include "main/update_driver.h"

#include <cstdio>

#include "image/update_image.h"
#include "link/device_link.h"
#include "platform/clock.h"
#include "procedure/block_programming.h"
#include "procedure/bootloader_entry.h"
#include "procedure/version_report.h"

const char* closing_message(UpdateOutcome outcome) {
    switch (outcome) {
        case UpdateOutcome::ImageMissing: return "Update-file not found.";
        case UpdateOutcome::ImageCorrupt: return "Hex-file error.";
        case UpdateOutcome::LinkError: return "Data exchange error.";
        case UpdateOutcome::Declined: return "Exit.";
        case UpdateOutcome::UserAbort: return "Firmware update terminated by user.";
        case UpdateOutcome::Completed: return "FirmWare update OK.";
    }
    return "Data exchange error.";
}

UpdateOutcome run_update() {
    if (PhaseEnd end = image_load()) return *end;
    if (PhaseEnd end = enter_bootloader()) return *end;
    if (PhaseEnd end = confirm_update()) return *end;
    return program_firmware();
}

int finish_run(UpdateOutcome outcome) {
    if (outcome != UpdateOutcome::ImageMissing && outcome != UpdateOutcome::ImageCorrupt) {
        link_close();
    }
    std::printf("%s", closing_message(outcome));
    sleep_ms(CLOSING_PAUSE);
    return 0;
}
