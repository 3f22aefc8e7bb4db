// Resetting the updater together with the doubles it is linked against.
#include "doubles/scripted_keys.h"
#include "doubles/virtual_clock.h"
#include "support/program_state.h"

void reset_program_state() {
    reset_module_state();
    reset_adapter();
    vclock::reset();
    keys::reset();
}
