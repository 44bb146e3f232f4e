#include "tests/heap_counter.h"

#include <cstdlib>
#include <new>

#include "winstub/platform_call.h"

extern "C" {
void* __real_malloc(std::size_t size);
void* __real_calloc(std::size_t count, std::size_t size);
void* __real_realloc(void* block, std::size_t size);
void* __real_aligned_alloc(std::size_t alignment, std::size_t size);
void __real_free(void* block);
}

namespace heapcount {

namespace {

bool counting = false;
Counts counts;

enum class Route { cpp, c };

void allocation(Route route) {
  if (!counting) return;
  if (winstub::insidePlatform())
    ++counts.platformAllocations;
  else
    ++(route == Route::cpp ? counts.news : counts.mallocs);
}

void release(void* block) {
  if (counting && block != nullptr && !winstub::insidePlatform()) ++counts.frees;
}

void* allocate(std::size_t size) {
  allocation(Route::cpp);
  return __real_malloc(size != 0 ? size : 1);
}

void* allocateAligned(std::size_t size, std::align_val_t alignment) {
  allocation(Route::cpp);
  const auto align = static_cast<std::size_t>(alignment);
  // aligned_alloc wants a size that is a multiple of the alignment.
  return __real_aligned_alloc(align, (size + align - 1) / align * align);
}

}  // namespace

void start() {
  counts = Counts{};
  counting = true;
}

Counts stop() {
  counting = false;
  return counts;
}

}  // namespace heapcount

// --- the C allocation functions, as the program's own objects call them ---

extern "C" {

void* __wrap_malloc(std::size_t size) {
  heapcount::allocation(heapcount::Route::c);
  return __real_malloc(size);
}

void* __wrap_calloc(std::size_t count, std::size_t size) {
  heapcount::allocation(heapcount::Route::c);
  return __real_calloc(count, size);
}

void* __wrap_realloc(void* block, std::size_t size) {
  heapcount::allocation(heapcount::Route::c);
  return __real_realloc(block, size);
}

void* __wrap_aligned_alloc(std::size_t alignment, std::size_t size) {
  heapcount::allocation(heapcount::Route::c);
  return __real_aligned_alloc(alignment, size);
}

void __wrap_free(void* block) {
  heapcount::release(block);
  __real_free(block);
}

}  // extern "C"

// --- the global operator new and delete, for every caller in the process ---

void* operator new(std::size_t size) {
  if (void* block = heapcount::allocate(size)) return block;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return heapcount::allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return heapcount::allocate(size);
}
void* operator new(std::size_t size, std::align_val_t alignment) {
  if (void* block = heapcount::allocateAligned(size, alignment)) return block;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
  return operator new(size, alignment);
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return heapcount::allocateAligned(size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return heapcount::allocateAligned(size, alignment);
}

void operator delete(void* block) noexcept { __real_free(block); }
void operator delete[](void* block) noexcept { operator delete(block); }
void operator delete(void* block, std::size_t) noexcept { operator delete(block); }
void operator delete[](void* block, std::size_t) noexcept { operator delete(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { operator delete(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { operator delete(block); }
void operator delete(void* block, std::align_val_t) noexcept { operator delete(block); }
void operator delete[](void* block, std::align_val_t) noexcept { operator delete(block); }
void operator delete(void* block, std::size_t, std::align_val_t) noexcept {
  operator delete(block);
}
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept {
  operator delete(block);
}
void operator delete(void* block, std::align_val_t, const std::nothrow_t&) noexcept {
  operator delete(block);
}
void operator delete[](void* block, std::align_val_t, const std::nothrow_t&) noexcept {
  operator delete(block);
}
