#include "http/store_reader.h"

#include <sys/stat.h>

#include <memory>

namespace http_output {
namespace {

struct Reader {
  std::string path;
  dev_t device = 0;
  ino_t inode = 0;
  std::unique_ptr<runtime::RecordStore> store;
};

thread_local Reader reader;

}  // namespace

runtime::RecordStore& StoreReader(const std::string& path, int busy_timeout_ms) {
  struct stat file {};
  const bool found = stat(path.c_str(), &file) == 0;
  if (reader.store && found && reader.path == path && reader.device == file.st_dev &&
      reader.inode == file.st_ino) {
    return *reader.store;
  }
  ForgetStoreReader();
  auto store = std::make_unique<runtime::RecordStore>(
      path, runtime::HistoryBound{}, busy_timeout_ms, runtime::SqliteDb::Access::kReadOnly);
  reader.path = path;
  reader.device = file.st_dev;
  reader.inode = file.st_ino;
  reader.store = std::move(store);
  return *reader.store;
}

void ForgetStoreReader() {
  reader.store.reset();
  reader.path.clear();
}

}  // namespace http_output
