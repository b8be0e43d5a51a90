#include <atomic>

#include "library/yuv_avx2.h"
#include "library/yuv_avx512.h"

// Asked once; compiled without AVX2 so that the questions themselves run
// anywhere.

namespace quill::avx2 {

namespace {
std::atomic<bool> g_allowed = true;
}

bool Usable() {
  static const bool usable = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  return usable && g_allowed.load(std::memory_order_relaxed);
}

void Allow(bool allowed) { g_allowed = allowed; }

}  // namespace quill::avx2

namespace quill::avx512 {

namespace {
std::atomic<bool> g_allowed = true;
}

// The wide path finishes short rows with the AVX2 functions, so it needs
// (and is allowed only with) that path as well.
bool Usable() {
  static const bool usable =
      __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
  return usable && g_allowed.load(std::memory_order_relaxed) && avx2::Usable();
}

void Allow(bool allowed) { g_allowed = allowed; }

}  // namespace quill::avx512
