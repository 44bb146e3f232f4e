#include "protocol/flash2k.h"

#include <algorithm>
#include <array>

#include "hid/report_exchange.h"
#include "protocol/console.h"
#include "protocol/page.h"
#include "protocol/pagechecksum.h"

namespace {

constexpr int attemptsPerPage = 4;
constexpr std::size_t blockSize = 57;
constexpr std::size_t blocksPerPage = 36;
// The page, its checksum (low byte first) and two zero bytes: 36 blocks exactly.
constexpr std::size_t pageBufferSize = pageSize + 4;
static_assert(blockSize * blocksPerPage == pageBufferSize);

constexpr std::uint8_t commandPrefix = 'F';
constexpr std::uint8_t blockMarker = '*';
constexpr std::uint8_t ackMarker = '+';
constexpr std::size_t prefixAt = 1;
constexpr std::size_t markerAt = 2;
constexpr std::size_t pageLowAt = 3;
constexpr std::size_t pageHighAt = 4;
constexpr std::size_t blockIndexAt = 5;
constexpr std::size_t blockDataAt = 6;

// Everything an operation of one call may touch. It lives beyond the call:
// an operation that could not be retired may still write into the
// acknowledgement buffer or read the frame, and the run ends on that failure
// without waiting for it.
struct PageTransfer {
  TransferContext context;
  std::array<std::uint8_t, pageBufferSize> pagebuffer;
  Report frame;
  Report ack;
};

bool isacknowledgement(const Report& report, std::uint16_t pagenumber) {
  const auto named = static_cast<std::uint16_t>(report[pageLowAt] | (report[pageHighAt] << 8));
  return report[prefixAt] == commandPrefix && report[markerAt] == ackMarker && named == pagenumber;
}

// One pass over the 36 blocks and the acknowledgement; true when confirmed.
bool attempt(HANDLE device, std::uint16_t pagenumber, PageTransfer& t) {
  for (std::size_t block = 0; block < blocksPerPage; ++block) {
    t.frame[blockIndexAt] = static_cast<std::uint8_t>(block);
    std::copy_n(t.pagebuffer.begin() + static_cast<std::ptrdiff_t>(block * blockSize), blockSize,
                t.frame.begin() + blockDataAt);
    if (!sendblock(device, t.frame, t.context)) return false;
  }
  return getresult(device, t.ack, t.context) && isacknowledgement(t.ack, pagenumber);
}

}  // namespace

int flash2k(HANDLE device, std::uint16_t pagenumber, std::span<const std::uint8_t> source) {
  static PageTransfer t;
  // A source longer than a page would not fit the page buffer; and once an
  // operation was stranded, this storage may still be in use by the platform.
  if (source.size() > pageSize || t.context.stranded) return 0;
  opentransfer(t.context);

  t.pagebuffer.fill(0);
  std::copy(source.begin(), source.end(), t.pagebuffer.begin());
  const std::uint16_t checksum =
      pagechecksum(std::span<const std::uint8_t, pageSize>(t.pagebuffer.data(), pageSize));
  t.pagebuffer[pageSize] = static_cast<std::uint8_t>(checksum & 0xFF);
  t.pagebuffer[pageSize + 1] = static_cast<std::uint8_t>(checksum >> 8);

  t.frame.fill(0);
  t.frame[prefixAt] = commandPrefix;
  t.frame[markerAt] = blockMarker;
  t.frame[pageLowAt] = static_cast<std::uint8_t>(pagenumber & 0xFF);
  t.frame[pageHighAt] = static_cast<std::uint8_t>(pagenumber >> 8);
  // Cleared once per call, not before each read: only a completed read is
  // examined, and no byte of it is ever read uninitialised.
  t.ack.fill(0);

  int confirmed = 0;
  for (int n = 0; n < attemptsPerPage && !confirmed && !t.context.stranded; ++n) {
    if (attempt(device, pagenumber, t)) {
      say(".");
      confirmed = 1;
    }
  }
  closetransfer(t.context);
  return confirmed;
}
