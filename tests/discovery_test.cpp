// Finding the bootloader among the HID interfaces present.
#include <gtest/gtest.h>

#include "hid/device_discovery.h"
#include "hid/system_libraries.h"
#include "tests/scenario.h"

using winstub::HidInterface;
using winstub::World;

namespace {

constexpr int kalvoProduct = 0x00D2;

HidInterface lookalike(std::string path, std::u16string text) {
  return scenario::decoy(std::move(path), kalvoVendorId, kalvoProduct, std::move(text));
}

std::vector<std::string> closedPaths(const World& world) {
  std::vector<std::string> paths;
  for (const auto& call : world.callsTo("CloseHandle")) paths.push_back(call.path);
  return paths;
}

// The search stops at the interface it accepts, so that is the last one opened.
std::string lastOpened(const World& world) {
  const auto opens = world.callsTo("CreateFileA");
  return opens.empty() ? "" : opens.back().path;
}

struct Search : ::testing::Test {
  devsim::Bootloader device;
  World world;
  HidInterface kalvo = World::kalvo(device, kalvoVendorId, scenario::kalvoPath);

  // As the run does before it searches.
  Search() { loadsystemlibraries(); }

  HANDLE find(int version = 0) {
    return connectToUSBHIDDevice(kalvoVendorId, kalvoProduct, version);
  }
  void expectClean() {
    EXPECT_TRUE(world.violations().empty()) << scenario::describe(world.violations());
    EXPECT_EQ(world.outstandingOperations(), 0u);
  }
};

TEST_F(Search, NoInterfacesAtAllFindsNothingAtOnce) {
  EXPECT_EQ(find(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(world.nowMs(), 0);
  EXPECT_TRUE(world.openHandles().empty());
  expectClean();
}

TEST_F(Search, OpensTheBootloaderAsTheReportExchangeNeedsIt) {
  world.interfaces = {kalvo};
  HANDLE found = find();
  ASSERT_NE(found, INVALID_HANDLE_VALUE);
  const auto opens = world.callsTo("CreateFileA");
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_EQ(opens[0].path, scenario::kalvoPath);
  EXPECT_EQ(opens[0].access, GENERIC_READ | GENERIC_WRITE);
  EXPECT_EQ(opens[0].share, FILE_SHARE_READ | FILE_SHARE_WRITE);
  EXPECT_EQ(opens[0].disposition, static_cast<std::uint32_t>(OPEN_EXISTING));
  EXPECT_EQ(opens[0].flags, FILE_FLAG_OVERLAPPED);
  const auto strings = world.callsTo("HidD_GetIndexedString");
  ASSERT_EQ(strings.size(), 1u);
  EXPECT_EQ(strings[0].stringIndex, 4u);
  EXPECT_EQ(strings[0].bufferLength, 8u);
  // Only the accepted handle stays open; the device information sets are gone.
  EXPECT_EQ(world.openHandles(), std::vector<std::string>{"file " + scenario::kalvoPath});
  CloseHandle(found);
  expectClean();
}

TEST_F(Search, VersionZeroAcceptsAnyVersionOtherwiseItMustMatch) {
  kalvo.versionNumber = 0x0207;
  world.interfaces = {kalvo};
  HANDLE any = find(0);
  ASSERT_NE(any, INVALID_HANDLE_VALUE);
  CloseHandle(any);
  HANDLE exact = find(0x0207);
  ASSERT_NE(exact, INVALID_HANDLE_VALUE);
  CloseHandle(exact);
  EXPECT_EQ(find(0x0206), INVALID_HANDLE_VALUE);
  EXPECT_EQ(find(0x0208), INVALID_HANDLE_VALUE);
  EXPECT_TRUE(world.openHandles().empty());
  expectClean();
}

TEST_F(Search, StringIndexFourMustBeginWithFW) {
  HidInterface unreadable = lookalike("\\\\?\\hid#unreadable", u"FW");
  unreadable.stringReadable = false;
  world.interfaces = {lookalike("\\\\?\\hid#fx", u"FX01"), lookalike("\\\\?\\hid#wf", u"WF01"),
                      lookalike("\\\\?\\hid#empty", u""), unreadable, kalvo};
  HANDLE found = find();
  ASSERT_NE(found, INVALID_HANDLE_VALUE);
  EXPECT_EQ(lastOpened(world), scenario::kalvoPath);
  // Every rejected interface was closed, and nothing else is open.
  EXPECT_EQ(closedPaths(world),
            (std::vector<std::string>{"\\\\?\\hid#fx", "\\\\?\\hid#wf", "\\\\?\\hid#empty",
                                      "\\\\?\\hid#unreadable"}));
  EXPECT_EQ(world.openHandles().size(), 1u);
  CloseHandle(found);
  expectClean();
}

TEST_F(Search, OnlyTheLowBytesOfTheFirstTwoCodeUnitsCount) {
  // U+0146 and U+0157 have the low bytes of "F" and "W"; what follows them is free.
  world.interfaces = {lookalike("\\\\?\\hid#wide", u"\u0146\u0157\u4E00\u4E01")};
  HANDLE found = find();
  ASSERT_NE(found, INVALID_HANDLE_VALUE);
  CloseHandle(found);
  // A longer string arrives cut short in the 8-byte buffer and still passes.
  world.interfaces = {lookalike("\\\\?\\hid#long", u"FW-bootloader-1.2")};
  found = find();
  ASSERT_NE(found, INVALID_HANDLE_VALUE);
  CloseHandle(found);
  world.interfaces = {lookalike("\\\\?\\hid#lower", u"fw01")};
  EXPECT_EQ(find(), INVALID_HANDLE_VALUE);
  expectClean();
}

TEST_F(Search, TheStringIsReadOnlyWhenTheThreeNumbersMatch) {
  world.interfaces = {scenario::decoy("\\\\?\\hid#vendor", kalvoVendorId ^ 1, kalvoProduct, u"FW"),
                      scenario::decoy("\\\\?\\hid#product", kalvoVendorId, kalvoProduct + 1, u"FW"),
                      kalvo};
  HANDLE found = find();
  ASSERT_NE(found, INVALID_HANDLE_VALUE);
  const auto strings = world.callsTo("HidD_GetIndexedString");
  ASSERT_EQ(strings.size(), 1u);
  EXPECT_EQ(strings[0].path, scenario::kalvoPath);
  CloseHandle(found);
  world.interfaces = {kalvo};
  world.interfaces[0].versionNumber = 3;
  EXPECT_EQ(find(4), INVALID_HANDLE_VALUE);
  EXPECT_EQ(world.callsTo("HidD_GetIndexedString").size(), 1u);
  expectClean();
}

TEST_F(Search, AnInterfaceThatCannotBeOpenedIsSkipped) {
  HidInterface held = lookalike("\\\\?\\hid#held", u"FW");
  held.opens = false;
  world.interfaces = {held, held, kalvo};
  world.interfaces[1].path = "\\\\?\\hid#held2";
  HANDLE found = find();
  ASSERT_NE(found, INVALID_HANDLE_VALUE);
  EXPECT_EQ(lastOpened(world), scenario::kalvoPath);
  EXPECT_EQ(world.callsTo("HidD_GetAttributes").size(), 1u);
  CloseHandle(found);
  expectClean();
}

TEST_F(Search, AnAttributesFailureEndsTheSearchEvenWithTheBootloaderLater) {
  HidInterface mute = scenario::decoy("\\\\?\\hid#mute", 1, 2);
  mute.attributesReadable = false;
  world.interfaces = {mute, kalvo};
  EXPECT_EQ(find(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(closedPaths(world), std::vector<std::string>{"\\\\?\\hid#mute"});
  for (const auto& open : world.callsTo("CreateFileA")) EXPECT_NE(open.path, scenario::kalvoPath);
  EXPECT_TRUE(world.openHandles().empty());
  expectClean();
}

TEST_F(Search, AFailedDetailFetchEndsTheSearch) {
  HidInterface broken = scenario::decoy("\\\\?\\hid#broken", 1, 2);
  broken.detailFails = true;
  world.interfaces = {broken, kalvo};
  EXPECT_EQ(find(), INVALID_HANDLE_VALUE);
  EXPECT_TRUE(world.callsTo("CreateFileA").empty());
  EXPECT_TRUE(world.openHandles().empty());
  expectClean();
}

TEST_F(Search, TheFirstMatchWinsAndLaterInterfacesAreNeverLookedAt) {
  devsim::Bootloader second;
  world.interfaces = {scenario::decoy("\\\\?\\hid#keyboard", 0x1111, 0x2222), kalvo,
                      World::kalvo(second, kalvoVendorId, "\\\\?\\hid#kalvo#second")};
  HANDLE found = find();
  ASSERT_NE(found, INVALID_HANDLE_VALUE);
  for (const auto& open : world.callsTo("CreateFileA"))
    EXPECT_NE(open.path, "\\\\?\\hid#kalvo#second");
  EXPECT_EQ(lastOpened(world), scenario::kalvoPath);
  CloseHandle(found);
  expectClean();
}

TEST_F(Search, EachStepEnumeratesAfreshSoInterfacesThatComeAndGoShiftPositions) {
  // The keyboard at position 0 is rejected; before the next step a new
  // interface appears in front, so position 1 is the keyboard again, and the
  // Kalvo is found one step later than the first snapshot suggested.
  world.interfaces = {scenario::decoy("\\\\?\\hid#keyboard", 0x1111, 0x2222), kalvo};
  world.beforeSnapshot = [](World& w, int snapshot) {
    if (snapshot == 1)
      w.interfaces.insert(w.interfaces.begin(), scenario::decoy("\\\\?\\hid#mouse", 3, 4));
  };
  HANDLE found = find();
  ASSERT_NE(found, INVALID_HANDLE_VALUE);
  EXPECT_EQ(closedPaths(world),
            (std::vector<std::string>{"\\\\?\\hid#keyboard", "\\\\?\\hid#keyboard"}));
  EXPECT_EQ(world.callsTo("SetupDiGetClassDevsA").size(), 3u);
  CloseHandle(found);
  expectClean();
}

}  // namespace
