// What the test DLLs keep beside themselves in the scenario's folder: the
// interface list they present and the trace of the calls kalvo-update.exe
// made into them, which the runner reads afterwards.
#pragma once

#include <string>

namespace e2e {

inline constexpr const char* interfacesFileName = "kalvo-e2e.txt";
inline constexpr const char* callTraceFileName = "kalvo-e2e-calls.txt";

// The folder of the module (DLL or program) that contains this code, with a
// trailing backslash.
std::string moduleFolder();

// Appends `line` and a newline to the call trace beside this module. Each call
// opens and closes the file, so that the trace is complete whenever the
// process ends, and both DLLs can append to it.
void traceCall(const std::string& line);

}  // namespace e2e
