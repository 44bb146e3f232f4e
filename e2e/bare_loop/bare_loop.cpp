// bare_loop: the traffic of a whole update without the updater, to tell how
// much of the update's time the platform's pipe I/O takes. It opens the
// simulated bootloader's pipe as kalvo-update.exe opens a HID interface and
// sends 260 pages as 36 block frames each, waiting for each write, then reads
// each page's acknowledgement: 9360 overlapped writes and 260 overlapped
// reads of 64 bytes, one after another on one event, timed with the
// performance counter.
//
// No retries and no time limits, but one: a read still waiting after a read
// try (as long as the updater's) is cancelled and, when the cancellation
// took it back, issued again. Wine's own HID class driver can leave a read
// waiting while the report for it waits in the handle's queue, where only
// the next read finds it. Each read issued again is printed and counted, as
// it adds a read try to the time. A device that never answers keeps the loop
// reading until the runner's time limit ends it.
//
//   bare_loop.exe PIPE [FPGA_PAGES MCU_PAGES]
//
// PIPE is the pipe's name, or a whole device path (starting with a backslash)
// such as the virtual bootloader's HID interface under Wine's own HID stack.
//
// Prints the count of writes, reads and reads issued again, and the seconds
// they took; the exit status is 0 when every page was acknowledged.
#include <windows.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "devsim/bootloader.h"

namespace {

constexpr unsigned defaultFpgaPages = 253;
constexpr unsigned defaultMcuPages = 7;
constexpr std::uint16_t firstFpgaPage = 0x1000;
constexpr std::uint16_t firstMcuPage = 4;
constexpr DWORD readTryMs = 2000;

using Report = devsim::Report;

// A page of zeros with its checksum, as the 36 frames that carry it.
std::vector<Report> framesOf(std::uint16_t page) {
  std::array<std::uint8_t, devsim::blocksPerPage * devsim::blockBytes> buffer{};
  const std::uint16_t checksum = devsim::deviceChecksum(buffer.data(), devsim::pageBytes);
  buffer[devsim::pageBytes] = static_cast<std::uint8_t>(checksum & 0xFF);
  buffer[devsim::pageBytes + 1] = static_cast<std::uint8_t>(checksum >> 8);
  std::vector<Report> frames(devsim::blocksPerPage);
  for (int block = 0; block < devsim::blocksPerPage; ++block) {
    Report& frame = frames[static_cast<std::size_t>(block)];
    frame.fill(0);
    frame[1] = 'F';
    frame[2] = '*';
    frame[3] = static_cast<std::uint8_t>(page & 0xFF);
    frame[4] = static_cast<std::uint8_t>(page >> 8);
    frame[5] = static_cast<std::uint8_t>(block);
    for (std::size_t i = 0; i < devsim::blockBytes; ++i)
      frame[6 + i] = buffer[static_cast<std::size_t>(block) * devsim::blockBytes + i];
  }
  return frames;
}

double secondsSince(const LARGE_INTEGER& start) {
  LARGE_INTEGER now, frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(now.QuadPart - start.QuadPart) /
         static_cast<double>(frequency.QuadPart);
}

// Starts one overlapped transfer; false when it was refused.
bool start(HANDLE device, OVERLAPPED& request, Report& report, bool isRead) {
  const BOOL done =
      isRead
          ? ReadFile(device, report.data(), static_cast<DWORD>(report.size()), nullptr, &request)
          : WriteFile(device, report.data(), static_cast<DWORD>(report.size()), nullptr, &request);
  if (!done && GetLastError() != ERROR_IO_PENDING) {
    std::fprintf(stderr, "bare_loop: %s refused: error %lu\n", isRead ? "read" : "write",
                 GetLastError());
    return false;
  }
  return true;
}

// The outcome of a completed transfer: true when it moved a whole report.
bool finish(HANDLE device, OVERLAPPED& request, const Report& report, const char* what) {
  DWORD moved = 0;
  if (!GetOverlappedResult(device, &request, &moved, FALSE) || moved != report.size()) {
    std::fprintf(stderr, "bare_loop: %s failed: error %lu, %lu bytes\n", what, GetLastError(),
                 moved);
    return false;
  }
  return true;
}

// A device that went away fails a write at once; nothing bounds it here.
bool write(HANDLE device, OVERLAPPED& request, Report& frame) {
  if (!start(device, request, frame, false)) return false;
  WaitForSingleObject(request.hEvent, INFINITE);
  return finish(device, request, frame, "write");
}

// Reads the acknowledgement of `page`, issuing the read again after each read
// try that the cancellation took back, counted in `reissued`.
bool read(HANDLE device, OVERLAPPED& request, Report& ack, std::uint16_t page,
          std::size_t& reissued) {
  bool again = false;
  LARGE_INTEGER issued;
  for (;;) {
    QueryPerformanceCounter(&issued);
    if (!start(device, request, ack, true)) return false;
    if (WaitForSingleObject(request.hEvent, readTryMs) == WAIT_TIMEOUT) {
      CancelIoEx(device, &request);
      WaitForSingleObject(request.hEvent, INFINITE);
      DWORD moved = 0;
      if (!GetOverlappedResult(device, &request, &moved, FALSE) &&
          GetLastError() == ERROR_OPERATION_ABORTED) {
        ++reissued;
        again = true;
        std::fprintf(stderr,
                     "bare_loop: the read of page 0x%04X's acknowledgement waited %.3f s; "
                     "issued again\n",
                     page, secondsSince(issued));
        continue;
      }
      // Otherwise it completed as it was being cancelled.
    }
    if (again)
      std::fprintf(stderr, "bare_loop: the read issued again completed after %.3f s\n",
                   secondsSince(issued));
    return finish(device, request, ack, "read");
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 4) {
    std::fprintf(stderr, "usage: bare_loop PIPE [FPGA_PAGES MCU_PAGES]\n");
    return 2;
  }
  const unsigned fpgaPages = argc == 4 ? std::strtoul(argv[2], nullptr, 10) : defaultFpgaPages;
  const unsigned mcuPages = argc == 4 ? std::strtoul(argv[3], nullptr, 10) : defaultMcuPages;
  std::vector<std::uint16_t> pages;
  for (unsigned i = 0; i < fpgaPages; ++i)
    pages.push_back(static_cast<std::uint16_t>(firstFpgaPage + i));
  for (unsigned i = 0; i < mcuPages; ++i)
    pages.push_back(static_cast<std::uint16_t>(firstMcuPage + i));
  std::vector<std::vector<Report>> frames;
  for (const auto page : pages) frames.push_back(framesOf(page));

  const std::string path =
      argv[1][0] == '\\' ? std::string(argv[1]) : std::string("\\\\.\\pipe\\") + argv[1];
  HANDLE device =
      CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (device == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "bare_loop: cannot open %s: error %lu\n", path.c_str(), GetLastError());
    return 1;
  }
  // A pipe delivers whole messages only in message mode; a HID device refuses
  // the request and delivers whole reports anyway.
  DWORD mode = PIPE_READMODE_MESSAGE;
  SetNamedPipeHandleState(device, &mode, nullptr, nullptr);
  OVERLAPPED request{};
  request.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);

  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  std::size_t writes = 0, reads = 0, reissued = 0;
  bool ok = request.hEvent != nullptr;
  for (std::size_t p = 0; p < pages.size() && ok; ++p) {
    for (auto& frame : frames[p]) {
      ok = write(device, request, frame);
      if (!ok) break;
      ++writes;
    }
    Report ack{};
    if (ok) ok = read(device, request, ack, pages[p], reissued);
    if (ok) {
      ++reads;
      ok = ack[1] == 'F' && ack[2] == '+' && (ack[3] | (ack[4] << 8)) == pages[p];
    }
  }
  QueryPerformanceCounter(&end);
  const double seconds =
      static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
  std::printf("bare loop: %zu writes, %zu reads (%zu issued again) in %.3f s%s\n", writes, reads,
              reissued, seconds,
              ok ? "" : " (stopped: a transfer failed or a page went unacknowledged)");
  CloseHandle(device);
  return ok ? 0 : 1;
}
