// The adapter through Linux's ftdi_sio driver, as /dev/ttyUSB<n>.
#pragma once

#include <cstddef>

// The adapter the driver offers: of the entries ttyUSB<n> in `driver_dir`,
// the one with the lowest n (ttyUSB2 before ttyUSB10). Writes its node,
// "/dev/ttyUSB<n>", to `path`; false when there is no such entry.
bool tty_find_adapter(const char* driver_dir, char* path, size_t size);

// For tests: open this node as device 0 instead of looking for an adapter;
// nullptr looks again. Either way the adapter claimed so far is let go.
void tty_use_path(const char* path);
