// Scripted key presses in place of the console keyboard. A key becomes
// waiting when the virtual clock reaches its time; getch with nothing waiting
// moves the clock on to the next scripted key, and with nothing scripted at
// all reports the keyboard as unreadable, so no test can hang at a prompt.
#pragma once

#include <cstdint>

namespace keys {

void reset();
void press(int code);                      // waiting from now on
void press_at(uint32_t tick, int code);    // waiting once the clock reads tick
void set_keyboard_missing();               // getch fails, kbhit is false
int getch_calls();
int kbhit_calls();
int waiting();                             // presses not taken by getch

}  // namespace keys
