// The scripted keyboard's getch and kbhit.
#include "doubles/scripted_keys.h"

#include <deque>
#include <utility>

#include "doubles/virtual_clock.h"
#include "platform/console.h"

namespace keys {
namespace {

std::deque<std::pair<uint32_t, int>> presses;  // (tick, code), in time order
bool missing = false;
int getches = 0;
int kbhits = 0;

bool arrived(uint32_t tick) { return static_cast<int32_t>(vclock::now() - tick) >= 0; }

}  // namespace

void reset() {
    presses.clear();
    missing = false;
    getches = 0;
    kbhits = 0;
}

void press(int code) { presses.emplace_back(vclock::now(), code); }

void press_at(uint32_t tick, int code) {
    auto it = presses.begin();
    while (it != presses.end() && static_cast<int32_t>(it->first - tick) <= 0) ++it;
    presses.emplace(it, tick, code);
}

void set_keyboard_missing() { missing = true; }
int getch_calls() { return getches; }
int kbhit_calls() { return kbhits; }
int waiting() { return static_cast<int>(presses.size()); }

}  // namespace keys

void output_init() {}
void console_open() {}

int console_getch() {
    ++keys::getches;
    if (keys::missing || keys::presses.empty()) return KEY_UNAVAILABLE;
    const auto next = keys::presses.front();
    keys::presses.pop_front();
    if (!keys::arrived(next.first)) vclock::advance_ms(next.first - vclock::now());
    return next.second;
}

bool console_kbhit() {
    ++keys::kbhits;
    return !keys::missing && !keys::presses.empty() && keys::arrived(keys::presses.front().first);
}
