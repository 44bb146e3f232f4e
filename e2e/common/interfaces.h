// The HID interfaces that one end-to-end scenario presents, as the test
// hid.dll and setupapi.dll show them to kalvo-update.exe and as the pipe
// server serves them. The runner writes them to a text file, one interface a
// line in enumeration order:
//
//   pipe=NAME vendor=0x3A7C product=0x00D2 version=0x0100 string=FW01 serve=bootloader
//
// pipe     the named pipe \\.\pipe\NAME that stands for the interface's device path
// vendor, product, version   what HidD_GetAttributes reports (hexadecimal or decimal)
// string   HID string index 4 as ASCII text; "-" makes reading it fail
// serve    bootloader: the pipe server serves a simulated bootloader on the pipe;
//          busy: the server serves it, but another client holds its only instance,
//          so opening it fails with ERROR_PIPE_BUSY;
//          none: nobody serves it, so opening it fails with ERROR_FILE_NOT_FOUND
// noack    (optional) a page number that the simulated bootloader never acknowledges
// lateack  (optional) PAGE:MS, a page whose first acknowledgement the simulated
//          bootloader sends MS milliseconds late (later ones come at once)
//
// Blank lines and lines starting with '#' are ignored.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace e2e {

enum class Serve { bootloader, busy, none };

struct Interface {
  std::string pipe;  // the name after \\.\pipe\ .
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::uint16_t versionNumber = 0;
  bool stringReadable = true;
  std::string string4;
  Serve serve = Serve::bootloader;
  std::optional<std::uint16_t> noAckPage;
  std::optional<std::uint16_t> lateAckPage;
  std::uint32_t lateAckMs = 0;
};

inline constexpr const char* pipePrefix = "\\\\.\\pipe\\";

// The interface list in `text`; on a malformed line, `error` names it and the
// result is empty.
std::vector<Interface> parseInterfaces(const std::string& text, std::string& error);

// The file named `path`, read whole; false when it cannot be read.
bool readWholeFile(const std::string& path, std::string& text);

// The interfaces in the file `path`; empty (with `error` set) when it cannot be
// read or parsed.
std::vector<Interface> loadInterfaces(const std::string& path, std::string& error);

// The interface whose pipe is `name`, compared without regard to case as
// Windows compares pipe names; null when there is none.
const Interface* findByPipe(const std::vector<Interface>& interfaces, const std::string& name);

}  // namespace e2e
