#include "e2e/common/interfaces.h"

#include <windows.h>

#include <cctype>
#include <cstdlib>
#include <sstream>

namespace e2e {

namespace {

bool parseNumber(const std::string& text, std::uint16_t& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  const unsigned long parsed = std::strtoul(text.c_str(), &end, 0);
  if (*end != '\0' || parsed > 0xFFFF) return false;
  value = static_cast<std::uint16_t>(parsed);
  return true;
}

bool parseField(Interface& hid, const std::string& key, const std::string& value) {
  if (key == "pipe") {
    hid.pipe = value;
    return !value.empty();
  }
  if (key == "vendor") return parseNumber(value, hid.vendorId);
  if (key == "product") return parseNumber(value, hid.productId);
  if (key == "version") return parseNumber(value, hid.versionNumber);
  if (key == "string") {
    hid.stringReadable = value != "-";
    hid.string4 = hid.stringReadable ? value : "";
    return true;
  }
  if (key == "serve") {
    if (value == "bootloader")
      hid.serve = Serve::bootloader;
    else if (value == "busy")
      hid.serve = Serve::busy;
    else if (value == "none")
      hid.serve = Serve::none;
    else
      return false;
    return true;
  }
  if (key == "lateack") {
    const auto colon = value.find(':');
    std::uint16_t page = 0;
    if (colon == std::string::npos || !parseNumber(value.substr(0, colon), page)) return false;
    char* end = nullptr;
    const std::string delay = value.substr(colon + 1);
    const unsigned long ms = std::strtoul(delay.c_str(), &end, 10);
    if (delay.empty() || *end != '\0') return false;
    hid.lateAckPage = page;
    hid.lateAckMs = static_cast<std::uint32_t>(ms);
    return true;
  }
  if (key == "noack") {
    std::uint16_t page = 0;
    if (!parseNumber(value, page)) return false;
    hid.noAckPage = page;
    return true;
  }
  return false;
}

}  // namespace

std::vector<Interface> parseInterfaces(const std::string& text, std::string& error) {
  std::vector<Interface> interfaces;
  std::istringstream lines(text);
  std::string line;
  for (int number = 1; std::getline(lines, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::istringstream words(line);
    std::string word;
    if (!(words >> word) || word[0] == '#') continue;
    Interface hid;
    do {
      const auto equals = word.find('=');
      if (equals == std::string::npos ||
          !parseField(hid, word.substr(0, equals), word.substr(equals + 1))) {
        error = "line " + std::to_string(number) + ": cannot read '" + word + "'";
        return {};
      }
    } while (words >> word);
    if (hid.pipe.empty()) {
      error = "line " + std::to_string(number) + ": no pipe";
      return {};
    }
    interfaces.push_back(hid);
  }
  return interfaces;
}

bool readWholeFile(const std::string& path, std::string& text) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  text.clear();
  char chunk[4096];
  DWORD got = 0;
  bool ok = true;
  for (;;) {
    if (!ReadFile(file, chunk, sizeof chunk, &got, nullptr)) {
      ok = false;
      break;
    }
    if (got == 0) break;
    text.append(chunk, got);
  }
  CloseHandle(file);
  return ok;
}

std::vector<Interface> loadInterfaces(const std::string& path, std::string& error) {
  std::string text;
  if (!readWholeFile(path, text)) {
    error = "cannot read " + path;
    return {};
  }
  return parseInterfaces(text, error);
}

const Interface* findByPipe(const std::vector<Interface>& interfaces, const std::string& name) {
  for (const auto& hid : interfaces) {
    if (hid.pipe.size() != name.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < name.size() && same; ++i)
      same = std::tolower(static_cast<unsigned char>(hid.pipe[i])) ==
             std::tolower(static_cast<unsigned char>(name[i]));
    if (same) return &hid;
  }
  return nullptr;
}

}  // namespace e2e
