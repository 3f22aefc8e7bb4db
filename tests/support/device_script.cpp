// Device replies for the scripted adapter, and its reset between cases.
#include "doubles/fake_adapter.h"
#include "image/update_image.h"
#include "support/harness.h"

void reset_adapter() { fake::reset(); }

namespace device {

void handshake_accepted() { fake::queue_read({0x5A, 0x5A, 0x64, 0x00, 0x71, 0x43}); }

void versions(uint8_t boot_major, uint8_t boot_minor, uint8_t main_major, uint8_t main_minor) {
    fake::queue_read({boot_major, boot_minor, main_major, main_minor});
}

void erase_ok() {
    fake::queue_read({0x0F});
    fake::queue_read({0xF0});
}

void block(const uint8_t* sent, uint8_t reply) {
    fake::queue_read(Bytes(sent, sent + 512));
    fake::queue_read({reply});
}

void clean_update() {
    handshake_accepted();
    versions(1, 5, 1, 9);
    erase_ok();
    for (uint32_t offset = 0; offset < image_payload_length(); offset += 512) {
        block(image_block(offset));
    }
}

}  // namespace device

Bytes expected_block(uint32_t offset) {
    const uint8_t* b = image_block(offset);
    return Bytes(b, b + 512);
}
