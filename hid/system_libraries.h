// Where the program's HID and Setup API libraries come from.
#pragma once

// Loads hid.dll and setupapi.dll from the system directory, by full path,
// before anything calls into them. Returns 1 when both are loaded, 0 when
// either cannot be had from there.
int loadsystemlibraries();
