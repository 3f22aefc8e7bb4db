// Tick counter and sleep on Windows.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "platform/clock.h"

uint32_t tick_count() { return GetTickCount(); }

void sleep_ms(uint32_t ms) { Sleep(ms); }
