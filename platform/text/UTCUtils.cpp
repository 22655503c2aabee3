// The current time in the platform's UTC form.
#include <CoreServices/UTCUtils.h>

#include "platform/text/TextTesting.h"

#include <ctime>

namespace {
/// Seconds from 1904-01-01 to 1970-01-01, both UTC (66 years, 17 leap days).
constexpr UInt64 kSecondsFrom1904To1970 = 2082844800ull;
} // namespace

extern "C" OSErr GetUTCDateTime(UTCDateTime *utcDateTime, OptionBits options) {
  if (!utcDateTime || options != kUTCDefaultOptions)
    return paramErr;
  if (const auto *stopped = quillmate::text::testing::ClockOverride::current()) {
    *utcDateTime = stopped->now();
    return noErr;
  }
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  // Times before 1904 cannot be written in this form; the clock is never set
  // that far back, but clamp rather than wrap.
  SInt64 unixSeconds = now.tv_sec;
  UInt64 seconds = unixSeconds < -static_cast<SInt64>(kSecondsFrom1904To1970)
                       ? 0
                       : static_cast<UInt64>(unixSeconds + static_cast<SInt64>(kSecondsFrom1904To1970));
  utcDateTime->highSeconds = static_cast<UInt16>(seconds >> 32);
  utcDateTime->lowSeconds = static_cast<UInt32>(seconds);
  utcDateTime->fraction = static_cast<UInt16>((static_cast<UInt64>(now.tv_nsec) << 16) / 1000000000ull);
  return noErr;
}
