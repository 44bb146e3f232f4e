#include "updater/image_update.h"

#include <algorithm>
#include <array>

#include "protocol/console.h"
#include "protocol/flash2k.h"
#include "protocol/page.h"
#include "updater/images.h"

namespace {

constexpr std::uint16_t firstFpgaPage = 0x1000;
constexpr std::uint16_t firstMcuPage = 4;
constexpr std::size_t lengthHeaderSize = 4;

// The bytes of `image` from `offset`, at most a page; flash2k zero-fills the rest.
// (std::min) is parenthesised throughout: windows.h defines min as a macro.
std::span<const std::uint8_t> pageat(std::span<const std::uint8_t> image, std::size_t offset) {
  if (offset >= image.size()) return {};
  return image.subspan(offset, (std::min)(pageSize, image.size() - offset));
}

int failed() {
  say(" failed.\n");
  return 0;
}

}  // namespace

int writefpga(HANDLE device, std::span<const std::uint8_t> image, std::uint32_t imagelength) {
  say("Updating FPGA.");
  std::size_t offset = 0;
  std::uint32_t pagenumber = firstFpgaPage;
  bool firstpage = true;
  while (offset < imagelength) {
    if (pagenumber > 0xFFFF) return failed();
    if (firstpage) {
      // The device learns the image's length from the stream's first four bytes.
      std::array<std::uint8_t, pageSize> page{};
      page[0] = static_cast<std::uint8_t>(imagelength >> 24);
      page[1] = static_cast<std::uint8_t>(imagelength >> 16);
      page[2] = static_cast<std::uint8_t>(imagelength >> 8);
      page[3] = static_cast<std::uint8_t>(imagelength);
      const auto head = image.first((std::min)(image.size(), pageSize - lengthHeaderSize));
      std::copy(head.begin(), head.end(), page.begin() + lengthHeaderSize);
      if (!flash2k(device, static_cast<std::uint16_t>(pagenumber), page)) return failed();
      offset += pageSize - lengthHeaderSize;
      firstpage = false;
    } else {
      if (!flash2k(device, static_cast<std::uint16_t>(pagenumber), pageat(image, offset)))
        return failed();
      offset += pageSize;
    }
    ++pagenumber;
  }
  say(" done.\n");
  return 1;
}

int writemcu(HANDLE device, std::span<const std::uint8_t> image) {
  say("Updating MCU.");
  std::uint16_t pagenumber = firstMcuPage;
  for (std::size_t offset = 0; offset < image.size(); offset += pageSize) {
    if (!flash2k(device, pagenumber, pageat(image, offset))) return failed();
    ++pagenumber;
  }
  say(" done.\n");
  return 1;
}

int updatefpga(HANDLE device) { return writefpga(device, fpgabin, fpgaImageLength); }

int updatemcu(HANDLE device) { return writemcu(device, mcubin); }
