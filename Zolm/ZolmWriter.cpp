#include <cstdio>

#include "Zolm/ZolmReader.h"
#include "Zolm/ZolmWriter.h"

namespace Zolm {

U16 nextIncarnation() {
  static std::atomic<U16> counter{1};
  U16 v = counter.fetch_add(1);
  return v ? v : counter.fetch_add(1);
}

void markCorruptionDetected(Mem::RootPath const& root, std::string_view msg) {
  try {
    std::string path = root.filePath(CORRUPTION_MARKER);
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f) return;
    std::fwrite(msg.data(), 1, msg.size(), f);
    std::fputc('\n', f);
    std::fclose(f);
  } catch (Quiv::Exception const&) {
  }
}

namespace Util {
void writeCorruptionFile(Quiv::DebugHandler* handler, Mem::RootPath const& root, std::string_view error) {
  fmtrace(handler, 1, "writing {} in {}: {}", CORRUPTION_MARKER, root.dirName(), error);
  markCorruptionDetected(root, error);
}
}  // namespace Util

}  // namespace Zolm
