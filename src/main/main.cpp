// pelupdate: replaces the main firmware of a device behind an FTDI adapter
// with the update file in the current directory. Takes no arguments.
#include "main/update_driver.h"
#include "platform/console.h"

int main() {
    output_init();
    console_open();
    return finish_run(run_update());
}
