#pragma once

#include <memory>
#include <string>

#include "runtime/event_stream.h"
#include "store/record_store.h"

namespace runtime {

// The store as an output of the event stream: a published record replaces
// its device's cache row, a saved record becomes a history row, alarm raises
// and clears become alarm events, and a driver restart discards the cache
// rows of the devices it replaced. A failed write is reported on the stream
// (once until the failure changes) and the next event is written as usual.
class StoreWriter : public EventSubscriber {
 public:
  StoreWriter(std::shared_ptr<RecordStore> store, EventStream& events)
      : store_(std::move(store)), events_(events) {}

  void OnEvent(const RuntimeEvent& event) override;

 private:
  std::shared_ptr<RecordStore> store_;
  EventStream& events_;
  std::string last_error_;
};

}  // namespace runtime
