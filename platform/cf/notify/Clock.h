// The one clock of the notification center and the run loops: CLOCK_MONOTONIC
// in microseconds, the unit sd-bus gives its deadlines in.
#ifndef QUILLMATE_PLATFORM_CF_NOTIFY_CLOCK_H
#define QUILLMATE_PLATFORM_CF_NOTIFY_CLOCK_H

#include <time.h>

#include <cstdint>

namespace quillmate::notify {

inline std::uint64_t monotonicUsec() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return std::uint64_t(now.tv_sec) * 1'000'000 + std::uint64_t(now.tv_nsec) / 1000;
}

}  // namespace quillmate::notify

#endif
