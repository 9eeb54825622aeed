#include "bench/alloc_count.h"

#include <execinfo.h>
#include <link.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

namespace alloc_count {
namespace {

// Code ranges of one loaded object, found once with dl_iterate_phdr.
struct Ranges {
  static constexpr int kMax = 8;
  std::uintptr_t begin[kMax] = {};
  std::uintptr_t end[kMax] = {};
  int count = 0;

  bool Holds(std::uintptr_t address) const {
    for (int i = 0; i < count; ++i) {
      if (address >= begin[i] && address < end[i]) return true;
    }
    return false;
  }
};

struct State {
  std::atomic<std::uint64_t> total{0};
  std::atomic<std::uint64_t> bytes{0};
  std::atomic<std::uint64_t> plugin{0};
  std::atomic<std::uint64_t> host{0};
  std::atomic<std::uint64_t> other{0};
  std::atomic<bool> attributing{false};
  Ranges plugin_code;
  Ranges host_code;
};

State& Global() {
  static State state;  // constant-initialised: usable before main
  return state;
}

// Set while a stack is walked, so that allocations of the walk itself are
// counted but not walked again.
thread_local bool walking = false;

bool EndsWith(const char* path, const char* name) {
  const std::size_t path_length = std::strlen(path);
  const std::size_t name_length = std::strlen(name);
  return path_length >= name_length && std::strcmp(path + path_length - name_length, name) == 0;
}

int CollectRanges(dl_phdr_info* info, std::size_t, void*) {
  State& state = Global();
  Ranges* ranges = nullptr;
  if (EndsWith(info->dlpi_name, "/libkorvan.so")) ranges = &state.plugin_code;
  if (EndsWith(info->dlpi_name, "/libkmxhost.so")) ranges = &state.host_code;
  if (ranges == nullptr) return 0;
  ranges->count = 0;
  for (int i = 0; i < info->dlpi_phnum && ranges->count < Ranges::kMax; ++i) {
    const ElfW(Phdr)& header = info->dlpi_phdr[i];
    if (header.p_type != PT_LOAD || (header.p_flags & PF_X) == 0) continue;
    ranges->begin[ranges->count] = info->dlpi_addr + header.p_vaddr;
    ranges->end[ranges->count] = info->dlpi_addr + header.p_vaddr + header.p_memsz;
    ++ranges->count;
  }
  return 0;
}

void Attribute() {
  State& state = Global();
  walking = true;
  void* frames[64];
  const int depth = backtrace(frames, 64);
  walking = false;
  for (int i = 0; i < depth; ++i) {
    const auto address = reinterpret_cast<std::uintptr_t>(frames[i]);
    if (state.plugin_code.Holds(address)) {
      state.plugin.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    if (state.host_code.Holds(address)) {
      state.host.fetch_add(1, std::memory_order_relaxed);
      return;
    }
  }
  state.other.fetch_add(1, std::memory_order_relaxed);
}

void Count(std::size_t size) {
  State& state = Global();
  state.total.fetch_add(1, std::memory_order_relaxed);
  state.bytes.fetch_add(size, std::memory_order_relaxed);
  if (state.attributing.load(std::memory_order_relaxed) && !walking) Attribute();
}

void* Allocate(std::size_t size) {
  Count(size);
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

void* AllocateAligned(std::size_t size, std::align_val_t alignment) {
  Count(size);
  void* block = nullptr;
  const std::size_t align = static_cast<std::size_t>(alignment);
  if (posix_memalign(&block, align < sizeof(void*) ? sizeof(void*) : align, size == 0 ? 1 : size) !=
      0) {
    throw std::bad_alloc();
  }
  return block;
}

}  // namespace

Counts Now() {
  State& state = Global();
  Counts counts;
  counts.total = state.total.load(std::memory_order_relaxed);
  counts.bytes = state.bytes.load(std::memory_order_relaxed);
  counts.plugin = state.plugin.load(std::memory_order_relaxed);
  counts.host = state.host.load(std::memory_order_relaxed);
  counts.other = state.other.load(std::memory_order_relaxed);
  return counts;
}

Counts Since(const Counts& start) {
  const Counts now = Now();
  Counts counts;
  counts.total = now.total - start.total;
  counts.bytes = now.bytes - start.bytes;
  counts.plugin = now.plugin - start.plugin;
  counts.host = now.host - start.host;
  counts.other = now.other - start.other;
  return counts;
}

bool PrepareAttribution() {
  // The first walk loads the unwinder; do it here rather than inside a count.
  void* frames[4];
  backtrace(frames, 4);
  dl_iterate_phdr(CollectRanges, nullptr);
  return Global().plugin_code.count > 0 && Global().host_code.count > 0;
}

void StartAttributing() {
  Global().attributing.store(true, std::memory_order_relaxed);
}
void StopAttributing() {
  Global().attributing.store(false, std::memory_order_relaxed);
}

}  // namespace alloc_count

// The replacement allocation functions of the benchmark process.
void* operator new(std::size_t size) {
  return alloc_count::Allocate(size);
}
void* operator new[](std::size_t size) {
  return alloc_count::Allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return alloc_count::Allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return alloc_count::Allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new(std::size_t size, std::align_val_t alignment) {
  return alloc_count::AllocateAligned(size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
  return alloc_count::AllocateAligned(size, alignment);
}
void operator delete(void* block) noexcept {
  std::free(block);
}
void operator delete[](void* block) noexcept {
  std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
  std::free(block);
}
void operator delete[](void* block, std::size_t) noexcept {
  std::free(block);
}
void operator delete(void* block, std::align_val_t) noexcept {
  std::free(block);
}
void operator delete[](void* block, std::align_val_t) noexcept {
  std::free(block);
}
void operator delete(void* block, std::size_t, std::align_val_t) noexcept {
  std::free(block);
}
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept {
  std::free(block);
}
