#include "winstub/platform_call.h"

namespace winstub {

namespace {

thread_local int depth = 0;

}  // namespace

bool insidePlatform() { return depth > 0; }

PlatformCall::PlatformCall() { ++depth; }

PlatformCall::~PlatformCall() { --depth; }

}  // namespace winstub
