#include "http/asset_table.h"

#include <cstring>

namespace http_output {

const EmbeddedAsset* FindAsset(const std::string& path) {
  for (std::size_t i = 0; i < kEmbeddedAssetCount; ++i) {
    if (path == kEmbeddedAssets[i].path) return &kEmbeddedAssets[i];
  }
  return nullptr;
}

std::string AssetContentType(const std::string& path) {
  static const struct {
    const char* extension;
    const char* type;
  } kTypes[] = {
      {".html", "text/html; charset=utf-8"},
      {".js", "text/javascript; charset=utf-8"},
      {".css", "text/css; charset=utf-8"},
      {".svg", "image/svg+xml"},
      {".png", "image/png"},
      {".json", "application/json; charset=utf-8"},
      {".txt", "text/plain; charset=utf-8"},
  };
  for (const auto& entry : kTypes) {
    const std::size_t length = std::strlen(entry.extension);
    if (path.size() > length && path.compare(path.size() - length, length, entry.extension) == 0) {
      return entry.type;
    }
  }
  return "application/octet-stream";
}

}  // namespace http_output
