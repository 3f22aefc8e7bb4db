// Putting the updater's module state and the test doubles back at their
// start, building update files independently of the code under test, and
// capturing standard output. Used by the tests and the fuzz targets alike.
#pragma once

#include <cstdint>
#include <string>

#include "support/update_file.h"

// Captures what the code under test prints to standard output.
class StdoutCapture {
public:
    void start();
    std::string stop();

private:
    int saved_fd_ = -1;
    int file_fd_ = -1;
};

// The updater's module state, the adapter double, the clock and the keys.
void reset_program_state();
// The updater's module state alone, as at the start of a new process.
void reset_module_state();

// Puts the adapter double linked into the test back at its start: the
// scripted adapter or the simulated one.
void reset_adapter();
