#include "bench/machine.h"

#include "kalvo_build.h"

namespace bench {

Machine::Machine(devsim::Script* script) : device(script) {
  world.interfaces.push_back(winstub::World::kalvo(device, kalvoVendorId, kalvoPath));
}

HANDLE openKalvo() {
  return CreateFileA(kalvoPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

}  // namespace bench
