// The device side of the Kalvo bootloader's report protocol, independent of
// any host code: it reassembles pages from block frames, checks each page's
// checksum, answers finished pages, stores the pages it accepted and logs
// every output report. The transport (the host stand-in or the pipe server)
// owns time and asks this model what happens.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "devsim/script.h"

namespace devsim {

inline constexpr std::size_t pageBytes = 2048;
inline constexpr int blocksPerPage = 36;
inline constexpr std::size_t blockBytes = 57;
using Page = std::array<std::uint8_t, pageBytes>;

// The device's own computation of a page's 16-bit checksum.
std::uint16_t deviceChecksum(const std::uint8_t* page, std::size_t length);

struct Received {
  std::int64_t atMs = 0;
  Report bytes{};
};

struct InputReport {
  std::int64_t readyAtMs = 0;
  Report bytes{};
};

class Bootloader {
 public:
  explicit Bootloader(Script* script = nullptr);

  // --- what a transport asks ---
  // Classifies an output report that the host starts writing and asks the script.
  WriteOutcome planWrite(const Report& report);
  // The report reaches the device.
  void receive(std::int64_t nowMs, const Report& report);
  ReadOutcome planRead();
  CancelOutcome planCancel(bool isRead);
  bool hasInput() const { return !outbox_.empty(); }
  const InputReport& nextInput() const { return outbox_.front(); }
  Report takeInput();
  bool connected() const { return connected_; }
  void unplug() { connected_ = false; }

  // --- what scripts may do ---
  void queueInput(std::int64_t readyAtMs, const Report& report);
  Report acknowledgement(std::uint16_t page) const;

  // --- what a test inspects ---
  const std::vector<Received>& received() const { return received_; }
  // Off: output reports are no longer kept in received(), for runs of tens of
  // thousands of pages that look only at the pages accepted.
  void keepReceived(bool keep) { keepReceived_ = keep; }
  const std::map<std::uint16_t, Page>& pages() const { return pages_; }
  // Page numbers in the order their pages were accepted, repeats included.
  const std::vector<std::uint16_t>& acceptedOrder() const { return acceptedOrder_; }
  int restarts() const { return restarts_; }
  int attemptsOf(std::uint16_t page) const;
  std::size_t inputsSent() const { return inputsSent_; }
  std::size_t readsServed() const { return readsServed_; }
  // Anything in the traffic that a real bootloader would reject or that a
  // correct host never sends (bad frame bytes, bad checksums, stray blocks).
  const std::vector<std::string>& complaints() const { return complaints_; }

 private:
  void receiveBlock(std::int64_t nowMs, const Report& report);
  void finishPage(std::int64_t nowMs);
  void complain(std::string what);

  Script defaultScript_;
  Script* script_;
  bool connected_ = true;
  bool keepReceived_ = true;
  std::vector<Received> received_;
  std::map<std::uint16_t, Page> pages_;
  std::vector<std::uint16_t> acceptedOrder_;
  std::map<std::uint16_t, int> attempts_;
  std::deque<InputReport> outbox_;
  std::vector<std::string> complaints_;
  int restarts_ = 0;
  std::size_t offered_ = 0;
  std::size_t readsPlanned_ = 0;
  std::size_t inputsSent_ = 0;
  std::size_t readsServed_ = 0;

  // The page being reassembled.
  bool assembling_ = false;
  std::uint16_t assemblyPage_ = 0;
  std::array<std::uint8_t, blocksPerPage * blockBytes> assembly_{};
  std::array<bool, blocksPerPage> haveBlock_{};
};

}  // namespace devsim
