#include "screensaver/common/random.h"

#include <sys/random.h>

#include <atomic>
#include <random>

#include "platform/clock/clock.h"

namespace quol::saver {
namespace {

std::atomic<bool> g_debug{false};
thread_local std::mt19937 t_generator{1};

}  // namespace

void SetDebugRandom(bool debug) { g_debug.store(debug); }
bool DebugRandom() { return g_debug.load(); }

void SeedThreadRandom() {
  SeedThreadRandomWith(DebugRandom() ? 1u : static_cast<std::uint32_t>(platform::TickMs()));
}

void SeedThreadRandomWith(std::uint32_t seed) { t_generator.seed(seed); }

std::uint32_t Random31() {
  if (!DebugRandom()) {
    std::uint32_t value = 0;
    if (::getrandom(&value, sizeof value, 0) == static_cast<ssize_t>(sizeof value)) {
      return value & 0x7FFFFFFFu;
    }
  }
  return static_cast<std::uint32_t>(t_generator()) & 0x7FFFFFFFu;
}

int RandomBelow(int n) {
  if (n <= 0) return 0;
  return static_cast<int>(Random31() % static_cast<std::uint32_t>(n));
}

}  // namespace quol::saver
