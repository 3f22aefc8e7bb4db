// Putting the updater's module state and the test doubles back at their
// start, building update files independently of the code under test, and
// capturing standard output. Used by the tests and the fuzz targets alike.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// Bitwise CRC-16 (polynomial 0x1021, MSB first, seeded): a second
// implementation, so fixtures do not borrow the one under test.
uint16_t reference_crc(const Bytes& data, uint16_t seed);

// Payload, version bytes, CRC high byte first.
Bytes make_update_file(const Bytes& payload, uint8_t major, uint8_t minor);
Bytes counting_payload(size_t length);  // bytes 0,1,2,... mixed so blocks differ

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
