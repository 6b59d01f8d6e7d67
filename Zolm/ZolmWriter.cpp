#include "Zolm/ZolmWriter.h"

namespace Zolm {

U16 nextIncarnation() {
  static std::atomic<U16> counter{1};
  U16 v = counter.fetch_add(1);
  return v ? v : counter.fetch_add(1);
}

}  // namespace Zolm
