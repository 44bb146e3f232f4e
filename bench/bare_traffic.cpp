#include "bench/bare_traffic.h"

#include <algorithm>

#include "bench/machine.h"
#include "kalvo_images.h"

namespace bench {

namespace {

// The frame layout as the device reads it: a two-byte command prefix, the
// page number low byte first, the block index, 57 data bytes.
constexpr std::uint8_t prefix0 = 'F';
constexpr std::uint8_t prefixOut = '*';
constexpr std::uint8_t restartCode = 'G';
constexpr std::uint8_t restartMarker = 0xFF;
constexpr std::size_t pageLowAt = 3;
constexpr std::size_t pageHighAt = 4;
constexpr std::size_t blockIndexAt = 5;
constexpr std::size_t blockDataAt = 6;
constexpr std::uint16_t firstFpgaPage = 0x1000;
constexpr std::uint16_t firstMcuPage = 4;
// The time limits the program waits with; a healthy device never reaches them.
constexpr DWORD writeWaitMs = 200;
constexpr DWORD readWaitMs = 2000;

bool transfer(HANDLE device, HANDLE event, OVERLAPPED& request, const devsim::Report* outgoing,
              devsim::Report* incoming) {
  request.hEvent = event;
  const BOOL done =
      outgoing != nullptr
          ? WriteFile(device, outgoing->data(), devsim::reportBytes, nullptr, &request)
          : ReadFile(device, incoming->data(), devsim::reportBytes, nullptr, &request);
  if (!done && GetLastError() != ERROR_IO_PENDING) return false;
  if (WaitForSingleObject(event, outgoing != nullptr ? writeWaitMs : readWaitMs) != WAIT_OBJECT_0)
    return false;
  DWORD moved = 0;
  return GetOverlappedResult(device, &request, &moved, FALSE) != FALSE;
}

void say(const char* text, DWORD length) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, length, &written, nullptr);
}

}  // namespace

void makePage(BarePage& page, const std::uint8_t* data) {
  std::array<std::uint8_t, devsim::blocksPerPage * devsim::blockBytes> buffer{};
  std::copy_n(data, devsim::pageBytes, buffer.begin());
  const std::uint16_t checksum = devsim::deviceChecksum(data, devsim::pageBytes);
  buffer[devsim::pageBytes] = static_cast<std::uint8_t>(checksum & 0xFF);
  buffer[devsim::pageBytes + 1] = static_cast<std::uint8_t>(checksum >> 8);
  for (int block = 0; block < devsim::blocksPerPage; ++block) {
    devsim::Report& frame = page.frames[static_cast<std::size_t>(block)];
    frame.fill(0);
    frame[1] = prefix0;
    frame[2] = prefixOut;
    frame[blockIndexAt] = static_cast<std::uint8_t>(block);
    std::copy_n(buffer.begin() + block * static_cast<std::ptrdiff_t>(devsim::blockBytes),
                devsim::blockBytes, frame.begin() + blockDataAt);
  }
}

void numberPage(BarePage& page, std::uint16_t number) {
  for (auto& frame : page.frames) {
    frame[pageLowAt] = static_cast<std::uint8_t>(number & 0xFF);
    frame[pageHighAt] = static_cast<std::uint8_t>(number >> 8);
  }
}

bool sendPage(HANDLE device, BarePage& page) {
  OVERLAPPED request{};
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  bool confirmed = true;
  for (const auto& frame : page.frames) {
    confirmed = transfer(device, event, request, &frame, nullptr);
    if (!confirmed) break;
  }
  if (confirmed) confirmed = transfer(device, event, request, nullptr, &page.ack);
  CloseHandle(event);
  if (confirmed) say(".", 1);
  return confirmed;
}

bool sendUpdate(BarePage& page) {
  HANDLE device = openKalvo();
  if (device == INVALID_HANDLE_VALUE) return false;
  bool confirmed = true;
  for (std::size_t i = 0; i < fpgaPageCount + mcuPageCount && confirmed; ++i) {
    numberPage(page, static_cast<std::uint16_t>(
                         i < fpgaPageCount ? firstFpgaPage + i : firstMcuPage + i - fpgaPageCount));
    confirmed = sendPage(device, page);
  }
  if (confirmed) {
    devsim::Report restart{};
    restart[1] = prefix0;
    restart[2] = prefixOut;
    // The command's code and marker stand where a block frame has its page
    // number's low byte and its block index.
    restart[pageLowAt] = restartCode;
    restart[blockIndexAt] = restartMarker;
    OVERLAPPED request{};
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    confirmed = transfer(device, event, request, &restart, nullptr);
    CloseHandle(event);
  }
  CloseHandle(device);
  return confirmed;
}

}  // namespace bench
