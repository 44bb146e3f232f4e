// The canary and the failure routines of GCC's stack protector and of
// MinGW-w64's _FORTIFY_SOURCE checks, for the MinGW-w64 build only (MSVC's
// /GS brings its own).
//
// libssp has them too, but seeds its canary in a constructor with
// CryptAcquireContext: that imports advapi32 and, before main, loads a
// cryptographic provider and its dependencies by name, from a search that
// starts in the program's own folder. Nothing here loads anything: the
// canary is mixed from the processor's random number generator, kernel32's
// clocks and identifiers and the stack's address (the last three as MSVC's
// C runtime seeds /GS's cookie where the loader does not), and a failed
// check ends the process at once, running nothing of it, as a failed /GS
// check does. Defined here, these keep libssp's own out of the link.
#include <cpuid.h>
#include <windows.h>

#include <cstdint>

extern "C" {
// What every protected function compares its copy with on the way out.
extern void* __stack_chk_guard;
}

namespace {

// Windows 8 and later end the process from the kernel (int 0x29); Windows 7
// has no such interrupt, and TerminateProcess does it there.
[[noreturn]] void failfast(unsigned int code) {
  if (IsProcessorFeaturePresent(PF_FASTFAIL_AVAILABLE)) asm volatile("int $0x29" : : "c"(code));
  TerminateProcess(GetCurrentProcess(), STATUS_STACK_BUFFER_OVERRUN);
  // Never reached. A trap, not whatever code the linker put next, so that
  // the failure routines can be seen not to return (tests/check_pe.py).
  __builtin_trap();
}

// One number from the processor's generator: RDSEED (its entropy source) or
// RDRAND (the generator that source seeds). Either may come back empty (the
// carry clear) while it is busy; Intel advises ten tries. Some processors'
// RDRAND has given the same number every time after a resume from sleep:
// mixed with the rest, it takes nothing away.
__attribute__((no_stack_protector)) std::uint64_t fromprocessor(bool seed) {
  for (int tries = 0; tries < 10; ++tries) {
    std::uint64_t number = 0;
    bool ok = false;
    if (seed)
      asm volatile("rdseed %0" : "=r"(number), "=@ccc"(ok));
    else
      asm volatile("rdrand %0" : "=r"(number), "=@ccc"(ok));
    if (ok) return number;
  }
  return 0;
}

// Each generator that CPUID reports, mixed; zero where there is none.
__attribute__((no_stack_protector)) std::uint64_t hardwarerandom() {
  unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
  const bool rdrand = __get_cpuid(1, &eax, &ebx, &ecx, &edx) && (ecx & bit_RDRND);
  const bool rdseed = __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) && (ebx & bit_RDSEED);
  return (rdrand ? fromprocessor(false) : 0) ^ (rdseed ? fromprocessor(true) : 0);
}

// Runs before any other constructor, and unprotected itself: a protected
// function would find the canary changed under it on the way out.
__attribute__((constructor(101), no_stack_protector)) void seedcanary() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  LARGE_INTEGER counter{};
  QueryPerformanceCounter(&counter);
  std::uint64_t canary = (std::uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
  canary ^= (std::uint64_t{GetCurrentThreadId()} << 32) ^ GetCurrentProcessId();
  canary ^= GetTickCount64();
  canary ^= (static_cast<std::uint64_t>(counter.QuadPart) << 32) ^
            static_cast<std::uint64_t>(counter.QuadPart);
  canary ^= reinterpret_cast<std::uintptr_t>(&canary);
  canary ^= hardwarerandom();
  // A zero byte first: a string copy that runs over the canary stops at it
  // and cannot write the canary back.
  canary &= ~std::uint64_t{0xFF};
  __stack_chk_guard = reinterpret_cast<void*>(canary);
}

}  // namespace

extern "C" {

void* __stack_chk_guard = reinterpret_cast<void*>(std::uintptr_t{0x2B992DDFA200});

// The attribute, not C++'s [[noreturn]], which must be on a function's first
// declaration: MinGW-w64's string.h declares __chk_fail without it, and
// clang refuses [[noreturn]] after that.
__attribute__((noreturn)) void __stack_chk_fail() {
  failfast(FAST_FAIL_STACK_COOKIE_CHECK_FAILURE);
}

// A _FORTIFY_SOURCE check found a buffer too small.
__attribute__((noreturn)) void __chk_fail() { failfast(FAST_FAIL_RANGE_CHECK_FAILURE); }
}
