// How images of any valid size are cut into pages and numbered.
#include "updater/image_update.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "tests/scenario.h"

namespace {

std::vector<std::uint8_t> pattern(std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
  return bytes;
}

struct ImageUpdate : ::testing::Test {
  scenario::Machine m;
  HANDLE device = INVALID_HANDLE_VALUE;
  void SetUp() override {
    device = scenario::openKalvo();
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
  }
  void TearDown() override {
    CloseHandle(device);
    EXPECT_TRUE(m.world.violations().empty()) << scenario::describe(m.world.violations());
  }
  // What the device stored, pages concatenated in the order they arrived.
  std::vector<std::uint8_t> stored() const {
    std::vector<std::uint8_t> all;
    for (std::uint16_t n : m.device.acceptedOrder())
      all.insert(all.end(), m.device.pages().at(n).begin(), m.device.pages().at(n).end());
    return all;
  }
};

TEST_F(ImageUpdate, TheFpgaStreamIsTheBigEndianLengthThenTheImageInWholePages) {
  // 5000 bytes: a stream of 5004 bytes, three pages; the array holds no tail,
  // so the last page is completed with zeros without reading past the image.
  const auto image = pattern(5000);
  EXPECT_EQ(writefpga(device, image, 5000), 1);
  EXPECT_EQ(m.device.acceptedOrder(), (std::vector<std::uint16_t>{0x1000, 0x1001, 0x1002}));
  std::vector<std::uint8_t> stream = {0x00, 0x00, 0x13, 0x88};
  stream.insert(stream.end(), image.begin(), image.end());
  stream.resize(3 * 2048, 0);
  EXPECT_EQ(stored(), stream);
  EXPECT_EQ(m.world.transcript(), "Updating FPGA.... done.\n");
}

TEST_F(ImageUpdate, PageCountsFollowTheStreamLengthAtTheEdges) {
  // 2044 image bytes fill the first page exactly; one more needs a second page.
  EXPECT_EQ(writefpga(device, pattern(2044), 2044), 1);
  EXPECT_EQ(m.device.acceptedOrder().size(), 1u);
  EXPECT_EQ(writefpga(device, pattern(2045), 2045), 1);
  EXPECT_EQ(m.device.acceptedOrder().size(), 3u);
  const auto& last = m.device.pages().at(0x1001);
  EXPECT_EQ(last[0], pattern(2045)[2044]);
  EXPECT_TRUE(std::all_of(last.begin() + 1, last.end(), [](std::uint8_t b) { return b == 0; }));
  EXPECT_EQ(m.world.transcript(), "Updating FPGA.. done.\nUpdating FPGA... done.\n");
}

TEST_F(ImageUpdate, McuPagesAreNumberedFromFour) {
  const auto image = pattern(3 * 2048);
  EXPECT_EQ(writemcu(device, image), 1);
  EXPECT_EQ(m.device.acceptedOrder(), (std::vector<std::uint16_t>{4, 5, 6}));
  EXPECT_EQ(stored(), image);
  EXPECT_EQ(m.world.transcript(), "Updating MCU.... done.\n");
}

TEST_F(ImageUpdate, AFailedPageStopsThePhaseThere) {
  m.script.ack = [](auto&, std::uint16_t page, int, bool) {
    devsim::AckPlan plan;
    if (page == 0x1001) plan.kind = devsim::AckPlan::Kind::drop;
    return plan;
  };
  EXPECT_EQ(writefpga(device, pattern(9000), 9000), 0);
  ASSERT_FALSE(m.device.acceptedOrder().empty());
  EXPECT_EQ(m.device.acceptedOrder().front(), 0x1000);
  EXPECT_EQ(m.device.attemptsOf(0x1002), 0);
  EXPECT_EQ(m.world.transcript(), "Updating FPGA.. failed.\n");
}

TEST_F(ImageUpdate, PageNumbersEndAt0xFFFFAndNeverWrapToZero) {
  // Page numbers travel as 16 bits: from 0x1000, 61440 pages reach 0xFFFF,
  // and a page 0x10000 would go out as page 0x0000. The bytes past the short
  // image go out as zeros, as a tail does; the length alone sets the pages.
  m.world.keepCompletions = false;
  m.device.keepReceived(false);
  constexpr std::size_t pagesToFFFF = 0x10000 - 0x1000;
  constexpr std::uint32_t fillsFFFF = pagesToFFFF * 2048 - 4;
  const auto image = pattern(4096);
  const std::string dots(pagesToFFFF, '.');

  EXPECT_EQ(writefpga(device, image, fillsFFFF), 1);
  EXPECT_EQ(m.device.acceptedOrder().size(), pagesToFFFF);
  EXPECT_EQ(m.device.acceptedOrder().back(), 0xFFFF);

  // One byte more needs a page 0x10000: the phase fails before it.
  EXPECT_EQ(writefpga(device, image, fillsFFFF + 1), 0);
  EXPECT_EQ(m.device.acceptedOrder().size(), 2 * pagesToFFFF);
  EXPECT_EQ(m.device.acceptedOrder().back(), 0xFFFF);
  EXPECT_EQ(m.device.pages().count(0), 0u);
  const std::string transcript = m.world.transcript();
  EXPECT_TRUE(transcript ==
              "Updating FPGA." + dots + " done.\nUpdating FPGA." + dots + " failed.\n")
      << transcript.size() << " characters, ending in \""
      << transcript.substr(transcript.size() - 20) << "\"";
}

}  // namespace
