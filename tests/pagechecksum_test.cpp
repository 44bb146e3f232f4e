// The page checksum: the known vectors, and agreement between the program's
// computation and the device's own.
#include "protocol/pagechecksum.h"

#include <gtest/gtest.h>

#include <array>
#include <random>

#include "devsim/bootloader.h"

namespace {

using Page = std::array<std::uint8_t, pageSize>;

Page filled(std::uint8_t value) {
  Page page;
  page.fill(value);
  return page;
}

TEST(PageChecksum, KnownVectors) {
  EXPECT_EQ(pagechecksum(filled(0x00)), 0x402E);
  EXPECT_EQ(pagechecksum(filled(0xFF)), 0x5928);
  Page ramp;
  for (std::size_t i = 0; i < pageSize; ++i) ramp[i] = static_cast<std::uint8_t>(i % 256);
  EXPECT_EQ(pagechecksum(ramp), 0xF76C);
  Page one = filled(0);
  one[0] = 0x01;
  EXPECT_EQ(pagechecksum(one), 0x406E);
}

TEST(PageChecksum, TheDevicesComputationWalksTheSameStates) {
  // The states after indices 0 to 3 of a zero page, through the device's own
  // implementation, which computes over any length.
  const Page zeros = filled(0);
  const std::uint16_t states[] = {0xFFFF, 0xFFFC, 0xFFFC, 0xFFFE};
  for (std::size_t n = 0; n < 4; ++n)
    EXPECT_EQ(devsim::deviceChecksum(zeros.data(), n + 1), states[n]) << "after index " << n;
  EXPECT_EQ(devsim::deviceChecksum(zeros.data(), pageSize), 0x402E);
}

TEST(PageChecksum, AgreesWithTheDeviceOnRandomPages) {
  std::mt19937 random(20261207);
  Page page;
  for (int round = 0; round < 200; ++round) {
    for (auto& byte : page) byte = static_cast<std::uint8_t>(random());
    ASSERT_EQ(pagechecksum(page), devsim::deviceChecksum(page.data(), pageSize)) << round;
  }
}

TEST(PageChecksum, PositionMattersAndOneBitChangesTheSum) {
  Page a = filled(0);
  Page b = filled(0);
  a[10] = 0x55;
  b[11] = 0x55;
  EXPECT_NE(pagechecksum(a), pagechecksum(b));
  Page c = filled(0x5A);
  const std::uint16_t before = pagechecksum(c);
  c[pageSize - 1] ^= 0x01;
  EXPECT_NE(pagechecksum(c), before);
}

}  // namespace
