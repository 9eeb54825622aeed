#pragma once

#include <cstdint>

// Heap allocations of the benchmark process, counted by the replacement
// global operator new of alloc_count.cpp.
//
// Every allocation is counted. While attribution is on, each allocation is
// also charged to the code that asked for it: the call stack is walked from
// operator new outwards and the first frame that lies in the plug-in
// (libkorvan.so) or in the host stand-in (libkmxhost.so, or the benchmark's
// own host code in the executable) decides. Frames of the C++ and C runtime
// are passed over, so a std::string that the plug-in builds counts as the
// plug-in's even though libstdc++ calls malloc.
namespace alloc_count {

struct Counts {
  std::uint64_t total = 0;   // every allocation
  std::uint64_t bytes = 0;   // bytes asked for
  std::uint64_t plugin = 0;  // attributed to libkorvan.so (attribution on only)
  std::uint64_t host = 0;    // attributed to the host stand-in or the host's harness
  std::uint64_t other = 0;   // no frame in either (attribution on only)
};

Counts Now();
Counts Since(const Counts& start);

// Finds the code ranges of the plug-in and the host library (both must be
// loaded); false when the plug-in is not loaded. Call before StartAttributing.
bool PrepareAttribution();
void StartAttributing();
void StopAttributing();

}  // namespace alloc_count
