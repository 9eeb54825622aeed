#include "tools/replay/session_capture.h"

#include "tools/runtime/record_types.h"
#include "tools/runtime/runtime.h"

namespace replay {

std::string CapturePath(const std::string& path, const std::string& name, std::size_t systems) {
  if (systems <= 1) return path;
  const std::size_t slash = path.rfind('/');
  const std::size_t dot = path.rfind('.');
  const bool has_extension =
      dot != std::string::npos && (slash == std::string::npos || dot > slash);
  const std::size_t at = has_extension ? dot : path.size();
  return path.substr(0, at) + "-" + name + path.substr(at);
}

bool SessionCapture::Start(runtime::Runtime& host, const std::string& path, std::string& error) {
  const std::size_t count = host.Systems().size();
  for (const std::unique_ptr<runtime::PowerSystem>& system : host.Systems()) {
    auto protocol = std::dynamic_pointer_cast<PMBusProtocol>(system->Bus());
    if (!protocol) continue;
    runtime::RuntimeController& controller = system->Controller();
    auto writer = std::make_shared<CaptureWriter>(controller.Watch(), *protocol);
    const runtime::SystemConfig& config = system->Config();
    if (!writer->Open(CapturePath(path, config.name, count), config.device_type, config.data_id,
                      config.settings, error)) {
      return false;
    }
    // The records the devices were restored from, so that the replay starts alike.
    if (host.Store()) {
      for (const std::shared_ptr<KMXVDevice>& child : protocol->GetAllChildVDevices()) {
        if (!child) continue;
        const int type = runtime::record_types::OfDeviceType(child->DeviceType());
        if (type == runtime::record_types::kUnknown) continue;
        std::optional<std::vector<unsigned char>> blob =
            host.Store()->FindCache(child->DataId(), type);
        if (!blob) continue;
        DeviceRef device;
        if (type == runtime::record_types::kRectifierGroup) {
          device.kind = DeviceRef::Kind::kRectifiers;
        } else {
          device.kind = DeviceRef::Kind::kDataId;
          device.data_id = child->DataId();
        }
        writer->AddRestore(device, *blob);
      }
    }
    writer->SetJobsPending([&controller] { return controller.QueuedJobs() > 0; });
    protocol->AttachTransport(writer);
    // A replay script follows one device: a restarted driver ends it.
    std::weak_ptr<CaptureWriter> weak = writer;
    system->SetRestartListener([weak] {
      if (std::shared_ptr<CaptureWriter> ended = weak.lock()) ended->Finish();
    });
    writers_.push_back(std::move(writer));
  }
  return true;
}

bool SessionCapture::Finish(std::string& error) {
  error.clear();
  for (const std::shared_ptr<CaptureWriter>& writer : writers_) {
    std::string failure;
    if (!writer->Finish(failure) && error.empty()) error = failure;
  }
  writers_.clear();
  return error.empty();
}

void SessionCapture::Finish() {
  std::string error;
  Finish(error);
}

}  // namespace replay
