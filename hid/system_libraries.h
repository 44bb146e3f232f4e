// Where the program's libraries come from.
#pragma once

// Confines every later search for a DLL in this process to the system
// directory (where Windows cannot, takes the current directory out of it),
// then loads hid.dll and setupapi.dll from the system directory by full path,
// before anything calls into them. Returns 1 when both are loaded, 0 when
// either cannot be had from there.
int loadsystemlibraries();
