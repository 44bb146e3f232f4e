// The program's only output: fixed lines and progress dots on standard output.
#pragma once

// Writes `text` to standard output at once, unbuffered, so that a phase line
// is visible before its first page goes out and each dot when its page is
// confirmed.
void say(const char* text);
