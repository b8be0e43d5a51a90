#include "library/yuv_avx2.h"

#include <atomic>

namespace quill::avx2 {

// Asked once; compiled without AVX2 so that the question itself runs
// anywhere.
namespace {
std::atomic<bool> g_allowed = true;
}

bool Usable() {
  static const bool usable = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  return usable && g_allowed.load(std::memory_order_relaxed);
}

void Allow(bool allowed) { g_allowed = allowed; }

}  // namespace quill::avx2
