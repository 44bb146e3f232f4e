// What the test DLLs keep in the scenario's folder, beside the program that
// loaded them: the interface list they present and the trace of the calls
// kalvo-update.exe made into them, which the runner reads afterwards. The
// DLLs themselves lie in the prefix's system directory, shared by every
// scenario, since that is the only place the program loads them from.
#pragma once

#include <string>

namespace e2e {

inline constexpr const char* interfacesFileName = "kalvo-e2e.txt";
inline constexpr const char* callTraceFileName = "kalvo-e2e-calls.txt";

// The folder of the program this process runs, with a trailing backslash.
std::string programFolder();

// Appends `line` and a newline to the call trace beside the program. Each
// call opens and closes the file, so that the trace is complete whenever the
// process ends, and both DLLs can append to it.
void traceCall(const std::string& line);

}  // namespace e2e
