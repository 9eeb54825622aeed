#pragma once

#include <string>

#include "store/record_store.h"

namespace http_output {

// The store opened read-only for the queries of the calling thread and kept
// between them: an open costs its checks of the file and schema, and a page
// that refreshes asks many times a second. Opened anew when the file at
// `path` is another one (replaced, moved aside) or after ForgetStoreReader.
// Throws StoreError as opening the store does.
runtime::RecordStore& StoreReader(const std::string& path, int busy_timeout_ms);
// Drops the calling thread's store: after a failure the next query opens the
// file again rather than trust the connection.
void ForgetStoreReader();

}  // namespace http_output
