#include "tests/faults.h"

namespace faults {

namespace {

std::uint16_t pageOf(const devsim::Report& report) {
  return static_cast<std::uint16_t>(report[3] | (report[4] << 8));
}

}  // namespace

std::string failedAfter(std::size_t confirmed) {
  if (confirmed < fpgaPages) return "Updating FPGA." + std::string(confirmed, '.') + " failed.\n";
  return "Updating FPGA." + std::string(fpgaPages, '.') + " done.\nUpdating MCU." +
         std::string(confirmed - fpgaPages, '.') + " failed.\n";
}

std::string completeRun() {
  return "Updating FPGA." + std::string(fpgaPages, '.') + " done.\nUpdating MCU." +
         std::string(allPages - fpgaPages, '.') + " done.\nRestarting...\n";
}

std::uint16_t pageInFlight(const devsim::Bootloader& device) {
  return device.received().empty() ? 0 : pageOf(device.received().back().bytes);
}

std::function<WriteOutcome(devsim::Bootloader&, const Frame&)> onBlock(std::uint16_t page,
                                                                       int block, int count,
                                                                       WriteOutcome outcome) {
  auto seen = std::make_shared<int>(0);
  return [=](devsim::Bootloader&, const Frame& f) {
    if (f.isBlock && f.page == page && f.block == block && (count < 0 || (*seen)++ < count))
      return outcome;
    return WriteOutcome{};
  };
}

std::function<ReadOutcome(devsim::Bootloader&, std::size_t)> onReadsOf(std::uint16_t page,
                                                                       int count,
                                                                       ReadOutcome outcome) {
  auto seen = std::make_shared<int>(0);
  return [=](devsim::Bootloader& d, std::size_t) {
    if (pageInFlight(d) == page && (count < 0 || (*seen)++ < count)) return outcome;
    return ReadOutcome{};
  };
}

std::function<AckPlan(devsim::Bootloader&, std::uint16_t, int, bool)> onAckOf(std::uint16_t page,
                                                                              int attempt,
                                                                              AckPlan plan) {
  return [=](devsim::Bootloader&, std::uint16_t p, int a, bool valid) {
    if (!valid) return AckPlan{AckPlan::Kind::drop, 0, 0, {}};
    if (p == page && (attempt == 0 || a == attempt)) return plan;
    return AckPlan{};
  };
}

std::vector<devsim::Report> Faults::framesOf(std::uint16_t page) const {
  std::vector<devsim::Report> frames;
  for (const auto& r : m.device.received())
    if (pageOf(r.bytes) == page) frames.push_back(r.bytes);
  return frames;
}

}  // namespace faults
