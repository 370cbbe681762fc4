// The process-wide platform pointer.
#include "platform/platform.h"

#include <cstdlib>

namespace platform {
namespace {
Platform* g_os = nullptr;
}  // namespace

Platform& Os() {
  // Every entry point installs a platform before any module runs; reaching
  // this without one is a programming error, not a runtime condition.
  if (!g_os)
    std::abort();
  return *g_os;
}

void SetOs(Platform* os) {
  g_os = os;
}

}  // namespace platform
