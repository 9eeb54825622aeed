#include "store/store_writer.h"

namespace runtime {

void StoreWriter::OnEvent(const RuntimeEvent& event) {
  using Kind = RuntimeEvent::Kind;
  try {
    switch (event.kind) {
      case Kind::kRecordPublished:
        store_->PutCache(event.device.data_id, event.device.record_type, event.time,
                         event.record->data(), event.record->size());
        break;
      case Kind::kHistorySaved:
        store_->AppendHistory(event.device.data_id, event.device.record_type, event.time,
                              event.record->data(), event.record->size());
        break;
      case Kind::kAlarm:
        store_->AppendAlarmEvent(event.alarm);
        break;
      case Kind::kDriverRestarted:
        store_->DeleteCache(event.data_ids);
        break;
      default:
        return;
    }
    last_error_.clear();
  } catch (const StoreError& error) {
    if (error.what() != last_error_) {
      last_error_ = error.what();
      events_.Problem(event.system, last_error_);
    }
  }
}

}  // namespace runtime
