#include "devsim/bootloader.h"

#include <algorithm>
#include <cstdio>

namespace devsim {

namespace {

// Wire values as the bootloader firmware knows them.
constexpr std::uint8_t prefix0 = 'F';
constexpr std::uint8_t prefixOut = '*';
constexpr std::uint8_t prefixAck = '+';
constexpr std::uint8_t restartCode = 'G';
constexpr std::uint8_t restartMarker = 0xFF;
constexpr std::size_t blockDataAt = 6;
constexpr std::size_t checksumAt = pageBytes;

std::string hex(unsigned value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%04X", value);
  return text;
}

}  // namespace

std::uint16_t deviceChecksum(const std::uint8_t* page, std::size_t length) {
  // The firmware folds each byte with its index into a 16-bit state: when the
  // state's top bit is clear the shifted value is inverted.
  std::uint32_t state = 0;
  for (std::uint32_t i = 0; i < length; ++i) {
    const std::uint32_t mixed = (state ^ i) & 0xFFFFu;
    const std::uint32_t shifted = (mixed << 1) & 0xFFFFu;
    const std::uint32_t folded = (state & 0x8000u) != 0 ? shifted : (shifted ^ 0xFFFFu);
    state = (folded + page[i]) & 0xFFFFu;
  }
  return static_cast<std::uint16_t>(state);
}

Bootloader::Bootloader(Script* script) : script_(script != nullptr ? script : &defaultScript_) {}

WriteOutcome Bootloader::planWrite(const Report& report) {
  Frame frame;
  frame.index = offered_++;
  if (report[1] == prefix0 && report[2] == prefixOut) {
    if (report[3] == restartCode && report[4] == 0 && report[5] == restartMarker) {
      frame.isRestart = true;
    } else if (report[5] < blocksPerPage) {
      frame.isBlock = true;
      frame.page = static_cast<std::uint16_t>(report[3] | (report[4] << 8));
      frame.block = report[5];
      const auto known = attempts_.find(frame.page);
      frame.attempt = (known != attempts_.end() ? known->second : 0) + (frame.block == 0 ? 1 : 0);
    }
  }
  return script_->onWrite(*this, frame);
}

ReadOutcome Bootloader::planRead() { return script_->onRead(*this, readsPlanned_++); }

CancelOutcome Bootloader::planCancel(bool isRead) { return script_->onCancel(*this, isRead); }

void Bootloader::receive(std::int64_t nowMs, const Report& report) {
  if (keepReceived_) received_.push_back({nowMs, report});
  if (report[0] != 0) complain("report identifier " + hex(report[0]) + " in an output report");
  if (report[1] != prefix0 || report[2] != prefixOut) {
    complain("output report without the command prefix");
    return;
  }
  if (report[3] == restartCode && report[4] == 0 && report[5] == restartMarker) {
    if (std::any_of(report.begin() + 6, report.end(), [](std::uint8_t b) { return b != 0; }))
      complain("restart command with stray bytes");
    ++restarts_;
    return;
  }
  receiveBlock(nowMs, report);
}

void Bootloader::receiveBlock(std::int64_t nowMs, const Report& report) {
  const auto page = static_cast<std::uint16_t>(report[3] | (report[4] << 8));
  const int block = report[5];
  if (block >= blocksPerPage) {
    complain("block index " + std::to_string(block) + " out of range");
    return;
  }
  if (report[63] != 0) complain("block frame with a non-zero last byte");
  if (block == 0) {
    ++attempts_[page];
    assembling_ = true;
    assemblyPage_ = page;
    haveBlock_.fill(false);
    assembly_.fill(0);
  } else if (!assembling_ || assemblyPage_ != page) {
    complain("block " + std::to_string(block) + " of page " + hex(page) + " without its block 0");
    assembling_ = true;
    assemblyPage_ = page;
    haveBlock_.fill(false);
    assembly_.fill(0);
  }
  std::copy_n(report.begin() + blockDataAt, blockBytes,
              assembly_.begin() + static_cast<std::ptrdiff_t>(block * blockBytes));
  haveBlock_[static_cast<std::size_t>(block)] = true;
  if (block == blocksPerPage - 1) finishPage(nowMs);
}

void Bootloader::finishPage(std::int64_t nowMs) {
  const std::uint16_t page = assemblyPage_;
  assembling_ = false;
  bool valid = std::all_of(haveBlock_.begin(), haveBlock_.end(), [](bool b) { return b; });
  if (!valid) complain("page " + hex(page) + " finished with blocks missing");
  const std::uint16_t expected = deviceChecksum(assembly_.data(), pageBytes);
  const auto carried =
      static_cast<std::uint16_t>(assembly_[checksumAt] | (assembly_[checksumAt + 1] << 8));
  if (valid && carried != expected) {
    complain("page " + hex(page) + " carries checksum " + hex(carried) + ", expected " +
             hex(expected));
    valid = false;
  }
  if (valid && (assembly_[checksumAt + 2] != 0 || assembly_[checksumAt + 3] != 0)) {
    complain("page " + hex(page) + " with non-zero bytes after its checksum");
    valid = false;
  }
  if (valid) {
    std::copy_n(assembly_.begin(), pageBytes, pages_[page].begin());
    acceptedOrder_.push_back(page);
  }
  const AckPlan plan = script_->onPageComplete(*this, page, attempts_[page], valid);
  switch (plan.kind) {
    case AckPlan::Kind::send:
      queueInput(nowMs + plan.delayMs, acknowledgement(page));
      break;
    case AckPlan::Kind::otherPage:
      queueInput(nowMs + plan.delayMs, acknowledgement(plan.otherPage));
      break;
    case AckPlan::Kind::garbage:
      queueInput(nowMs + plan.delayMs, plan.garbage);
      break;
    case AckPlan::Kind::drop:
      break;
  }
}

Report Bootloader::acknowledgement(std::uint16_t page) const {
  Report ack{};
  ack[1] = prefix0;
  ack[2] = prefixAck;
  ack[3] = static_cast<std::uint8_t>(page & 0xFF);
  ack[4] = static_cast<std::uint8_t>(page >> 8);
  return ack;
}

void Bootloader::queueInput(std::int64_t readyAtMs, const Report& report) {
  // Reports leave the device in the order they were queued.
  if (!outbox_.empty()) readyAtMs = std::max(readyAtMs, outbox_.back().readyAtMs);
  outbox_.push_back({readyAtMs, report});
  ++inputsSent_;
}

Report Bootloader::takeInput() {
  Report report = outbox_.front().bytes;
  outbox_.pop_front();
  ++readsServed_;
  return report;
}

int Bootloader::attemptsOf(std::uint16_t page) const {
  const auto found = attempts_.find(page);
  return found == attempts_.end() ? 0 : found->second;
}

void Bootloader::complain(std::string what) { complaints_.push_back(std::move(what)); }

}  // namespace devsim
