#include "winstub/platform_call.h"

namespace winstub {

namespace {

thread_local int depth = 0;
thread_local std::size_t made = 0;

}  // namespace

bool insidePlatform() { return depth > 0; }

std::size_t platformCallsMade() { return made; }

PlatformCall::PlatformCall() {
  if (depth++ == 0) ++made;
}

PlatformCall::~PlatformCall() { --depth; }

}  // namespace winstub
