// The console: the keyboard, read directly and never through standard input,
// and the buffering of standard output.
#pragma once

// What console_getch gives when the keyboard cannot be read at all.
inline constexpr int KEY_UNAVAILABLE = -1;

// Unbuffered standard output on a console, fully buffered otherwise. Call
// before anything is printed.
void output_init();

// Takes hold of the keyboard for the whole run (on POSIX: the controlling
// terminal in non-canonical mode without echo or signal keys; on Windows:
// the console without processed input), catches the requests to end the
// process, and arranges for the saved settings to come back, with pending
// keys discarded, on every way out.
void console_open();

// Waits for one key press and returns its code, without echo and without
// Enter; Ctrl+C arrives as 3. KEY_UNAVAILABLE when there is no keyboard or
// the process has been asked to end: no answer can come.
int console_getch();

// True when a key press is waiting, or the process has been asked to end;
// never waits and never takes the key.
bool console_kbhit();
