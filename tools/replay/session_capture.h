#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tools/replay/capture_writer.h"

namespace runtime {
class Runtime;
}

namespace replay {

// Exit code of run and simulate when a capture file cannot be written.
constexpr int kCaptureFailed = 5;

// Captures every power system of a prepared runtime as a replay script: one
// system to `path`; several each to `path` with "-NAME" (the system's name)
// put before the extension. Each script starts with the records the devices
// were restored from. Start after Prepare and before Run; Finish (or the
// destructor) after Run.
class SessionCapture {
 public:
  ~SessionCapture() { Finish(); }

  bool Start(runtime::Runtime& host, const std::string& path, std::string& error);
  // Closes every file; false with `error` when one of them could not be
  // written whole (a full disk, for example).
  bool Finish(std::string& error);
  void Finish();

 private:
  std::vector<std::shared_ptr<CaptureWriter>> writers_;
};

// Where the capture of one of `systems` systems named `name` goes.
std::string CapturePath(const std::string& path, const std::string& name, std::size_t systems);

}  // namespace replay
