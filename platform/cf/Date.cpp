// CFDate and the clock.
#include "platform/cf/CFRuntime.h"

#include <CoreFoundation/CFDate.h>

#include <chrono>
#include <cmath>
#include <cstring>

namespace quillmate_cf {
namespace {

struct Date {
  __CFRuntimeBase _base;
  CFAbsoluteTime at = 0;
};

const Date *asDate(CFDateRef d) { return reinterpret_cast<const Date *>(d); }

bool datesEqual(CFTypeRef a, CFTypeRef b) {
  double x = asDate(static_cast<CFDateRef>(a))->at, y = asDate(static_cast<CFDateRef>(b))->at;
  return x == y || (std::isnan(x) && std::isnan(y));
}

CFHashCode dateHash(CFTypeRef cf) {
  double at = asDate(static_cast<CFDateRef>(cf))->at;
  if (at == 0) at = 0; // -0.0 and 0.0 are equal, so hash alike
  UInt64 bits;
  std::memcpy(&bits, &at, sizeof bits);
  return static_cast<CFHashCode>(bits ^ (bits >> 29));
}

} // namespace

const RuntimeClass kDateClass = {"CFDate", destroyInstance<Date>, datesEqual, dateHash};

} // namespace quillmate_cf

using namespace quillmate_cf;

extern "C" {

CFAbsoluteTime CFAbsoluteTimeGetCurrent(void) {
  auto now = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration<double>(now).count() - kCFAbsoluteTimeIntervalSince1970;
}

CFTypeID CFDateGetTypeID(void) { return kDateTypeID; }

CFDateRef CFDateCreate(CFAllocatorRef, CFAbsoluteTime at) {
  Date *d = createInstance<Date>(kDateTypeID);
  if (d) d->at = at;
  return reinterpret_cast<CFDateRef>(d);
}

CFAbsoluteTime CFDateGetAbsoluteTime(CFDateRef theDate) {
  return theDate ? asDate(theDate)->at : 0;
}

CFComparisonResult CFDateCompare(CFDateRef theDate, CFDateRef otherDate, void *) {
  double a = CFDateGetAbsoluteTime(theDate), b = CFDateGetAbsoluteTime(otherDate);
  return a < b ? kCFCompareLessThan : b < a ? kCFCompareGreaterThan : kCFCompareEqualTo;
}

} // extern "C"
