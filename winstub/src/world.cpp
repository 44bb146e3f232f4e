#include "winstub/world.h"

#include <algorithm>
#include <cstdio>

#include "winstub/platform_call.h"
#include "winstub/src/state.h"

#ifndef WINSTUB_DEFAULT_VENDOR_ID
#error "WINSTUB_DEFAULT_VENDOR_ID names the vendor of the default world's Kalvo"
#endif

namespace winstub {

namespace {

World* live = nullptr;
// Handle values are never reused, not even across worlds, so that a handle
// kept from an earlier world is recognised as unknown.
std::uintptr_t nextHandle = 0x1000;

}  // namespace

World::World() : state_(std::make_unique<State>()), previous_(live) {
  live = this;
  state_->platformCallsAtStart = platformCallsMade();
}

World::~World() { live = previous_; }

World& World::current() {
  if (live == nullptr) {
    // The host demo: one healthy Kalvo and the program's output on the terminal.
    static devsim::Bootloader demoDevice;
    static World demo;
    static const bool ready = [] {
      demo.interfaces.push_back(kalvo(demoDevice, WINSTUB_DEFAULT_VENDOR_ID));
      demo.echoOutput = true;
      return true;
    }();
    (void)ready;
  }
  return *live;
}

World::State& state() { return World::current().state(); }

HidInterface World::kalvo(devsim::Bootloader& device, std::uint16_t vendorId, std::string path) {
  HidInterface hid;
  hid.path = std::move(path);
  hid.vendorId = vendorId;
  hid.productId = 0x00D2;
  hid.versionNumber = 0x0100;
  hid.string4 = u"FW01";
  hid.device = &device;
  return hid;
}

void World::unplug(const std::string& path) {
  for (auto& hid : interfaces)
    if (hid.path == path && hid.device != nullptr) hid.device->unplug();
  state_->failAll(path, statusDeviceNotConnected);
  interfaces.erase(std::remove_if(interfaces.begin(), interfaces.end(),
                                  [&](const HidInterface& hid) { return hid.path == path; }),
                   interfaces.end());
}

std::int64_t World::nowMs() const { return state_->now; }

std::string World::transcript() const {
  std::string all;
  for (const auto& piece : state_->output) all += piece.text;
  return all;
}

const std::vector<OutputPiece>& World::output() const { return state_->output; }
const std::vector<CallRecord>& World::calls() const { return state_->calls; }
const std::vector<std::string>& World::violations() const {
  // What the program did to the buffers of operations still outstanding now,
  // at the end of its run, counts as well.
  for (auto& op : state_->pending) state_->checkBuffer(op);
  return state_->violations;
}
const std::vector<Completion>& World::completions() const { return state_->completions; }
std::size_t World::outstandingOperations() const { return state_->pending.size(); }
std::size_t World::eventsCreated() const { return state_->eventsCreated; }

std::vector<CallRecord> World::callsTo(const std::string& function) const {
  std::vector<CallRecord> found;
  for (const auto& call : state_->calls)
    if (call.function == function) found.push_back(call);
  return found;
}

std::vector<std::string> World::openHandles() const {
  std::vector<std::string> open;
  for (const auto& [value, handle] : state_->handles) {
    switch (handle.kind) {
      case Kind::file:
        open.push_back("file " + handle.path);
        break;
      case Kind::event:
        open.push_back("event");
        break;
      case Kind::deviceSet:
        open.push_back("device information set");
        break;
      case Kind::console:
        break;
    }
  }
  return open;
}

InterfaceTraffic World::traffic(const std::string& path) const {
  const auto found = state_->traffic.find(path);
  if (found != state_->traffic.end()) return found->second;
  InterfaceTraffic none;
  none.path = path;
  return none;
}

std::vector<InterfaceTraffic> World::allTraffic() const {
  std::vector<InterfaceTraffic> all;
  for (const auto& [path, traffic] : state_->traffic) all.push_back(traffic);
  return all;
}

// ---------------------------------------------------------------------------

std::uintptr_t World::State::add(Handle handle) {
  const std::uintptr_t value = nextHandle;
  nextHandle += 4;
  handles.emplace(value, std::move(handle));
  return value;
}

Handle* World::State::find(HANDLE handle, Kind kind) {
  const auto found = handles.find(reinterpret_cast<std::uintptr_t>(handle));
  if (found == handles.end() || found->second.kind != kind) return nullptr;
  return &found->second;
}

HidInterface* World::State::present(const std::string& path,
                                    std::vector<HidInterface>& interfaces) {
  for (auto& hid : interfaces)
    if (hid.path == path) return &hid;
  return nullptr;
}

void World::State::violation(std::string what) {
  violations.push_back("at " + std::to_string(now) + " ms: " + what);
}

void World::State::enter(const char* function) {
  if (lookedUp.count(function) == 0)
    violation(std::string(function) + " called without being looked up in its library first");
}

void World::State::record(CallRecord call) {
  call.atMs = now;
  // The call being recorded is counted already.
  call.platformCallsBefore = platformCallsMade() - 1 - platformCallsAtStart;
  call.outputsBefore = output.size();
  calls.push_back(std::move(call));
  World& live = World::current();
  // A copy: the hook may add to the record it is shown.
  if (live.afterCall) live.afterCall(live, CallRecord(calls.back()));
}

void World::State::write(std::string text) {
  output.push_back({now, std::move(text)});
  World& live = World::current();
  if (live.afterOutput) live.afterOutput(live, OutputPiece(output.back()));
}

std::optional<std::int64_t> World::State::nextEvent(const Operation& op) const {
  std::optional<std::int64_t> natural;
  if (op.device == nullptr) {
    // An interface with nothing behind it takes writes at once and never answers.
    if (!op.isRead) natural = op.startedAt;
  } else if (!op.isRead) {
    switch (op.write.kind) {
      case devsim::WriteOutcome::Kind::accept: {
        const std::int64_t deliver = op.startedAt + op.write.deliverAfterMs;
        natural =
            op.delivered ? std::max(deliver, op.startedAt + op.write.completeAfterMs) : deliver;
        break;
      }
      case devsim::WriteOutcome::Kind::fail:
        natural = op.startedAt + op.write.completeAfterMs;
        break;
      case devsim::WriteOutcome::Kind::stall:
      case devsim::WriteOutcome::Kind::unplug:
        break;
    }
  } else {
    switch (op.read.kind) {
      case devsim::ReadOutcome::Kind::normal:
        if (op.device->hasInput())
          natural = std::max(op.startedAt, op.device->nextInput().readyAtMs) + op.read.latencyMs;
        break;
      case devsim::ReadOutcome::Kind::fail:
        natural = op.startedAt + op.read.latencyMs;
        break;
      case devsim::ReadOutcome::Kind::stall:
      case devsim::ReadOutcome::Kind::unplug:
        break;
    }
  }
  if (op.cancelled) {
    // A delivered write is past cancelling: it completes on its own.
    if (!op.cancelDoneAt) return op.delivered ? natural : std::nullopt;
    if (!natural || (*op.cancelDoneAt < *natural && !op.delivered)) return *op.cancelDoneAt;
  }
  if (natural) return std::max(*natural, now);
  return std::nullopt;
}

bool World::State::step(std::int64_t until) {
  std::optional<std::size_t> first;
  std::int64_t when = 0;
  for (std::size_t i = 0; i < pending.size(); ++i) {
    const auto next = nextEvent(pending[i]);
    if (next && *next <= until && (!first || *next < when)) {
      first = i;
      when = *next;
    }
  }
  if (!first) return false;
  now = std::max(now, when);
  devsim::Bootloader* device = pending[*first].device;
  const std::string path = pending[*first].path;
  apply(*first);
  // A script may pull the device out in the middle of its traffic.
  if (device != nullptr && !device->connected()) World::current().unplug(path);
  return true;
}

void World::State::apply(std::size_t index) {
  Operation& op = pending[index];
  if (op.cancelled && op.cancelDoneAt && *op.cancelDoneAt <= now && !op.delivered) {
    complete(index, statusCancelled, 0);
    return;
  }
  if (op.device == nullptr) {
    complete(index, statusSuccess, op.length);
  } else if (!op.isRead) {
    if (op.write.kind == devsim::WriteOutcome::Kind::fail) {
      complete(index, statusUnsuccessful, 0);
    } else if (!op.delivered) {
      op.delivered = true;
      op.device->receive(now, op.data);
    } else {
      complete(index, statusSuccess, op.length);
    }
  } else if (op.read.kind == devsim::ReadOutcome::Kind::fail) {
    complete(index, statusUnsuccessful, 0);
  } else {
    checkBuffer(op);
    const devsim::Report report = op.device->takeInput();
    std::copy_n(report.begin(), std::min<std::size_t>(op.length, report.size()), op.buffer);
    complete(index, statusSuccess, static_cast<DWORD>(report.size()));
  }
}

void World::State::checkBuffer(Operation& op) {
  if (op.bufferChanged || std::equal(op.atStart.begin(), op.atStart.end(), op.buffer)) return;
  op.bufferChanged = true;
  violation(std::string(op.isRead ? "a read's" : "a write's") +
            " buffer changed while its operation was outstanding");
}

void World::State::complete(std::size_t index, ULONG_PTR status, DWORD bytes) {
  // A read that brought its report in was checked before the report arrived.
  if (!(pending[index].isRead && status == statusSuccess)) checkBuffer(pending[index]);
  Operation op = std::move(pending[index]);
  pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(index));
  if (World::current().keepCompletions) {
    Completion& done = completions.emplace_back();
    done.atMs = now;
    done.outputsBefore = output.size();
    done.path = std::move(op.path);
    done.isRead = op.isRead;
    done.succeeded = status == statusSuccess;
    done.cancelled = op.cancelled;
    if (!op.isRead) {
      done.bytes = op.data;
    } else if (done.succeeded) {
      std::copy_n(op.buffer, std::min<std::size_t>(op.length, done.bytes.size()),
                  done.bytes.begin());
    }
  }
  op.request->Internal = status;
  op.request->InternalHigh = bytes;
  if (Handle* event = find(reinterpret_cast<HANDLE>(op.event), Kind::event))
    event->signalled = true;
}

void World::State::failAll(const std::string& path, ULONG_PTR status) {
  for (std::size_t i = pending.size(); i-- > 0;) {
    Operation& op = pending[i];
    // An operation whose cancellation hangs stays hung, unplugged or not.
    if (op.path == path && !(op.cancelled && !op.cancelDoneAt)) complete(i, status, 0);
  }
}

}  // namespace winstub
