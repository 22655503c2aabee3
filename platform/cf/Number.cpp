// CFNumber and CFBoolean.
//
// A number keeps one of three representations: a signed 64-bit integer, an
// unsigned one above INT64_MAX (property lists allow integers up to 2^64 - 1),
// or a 64-bit real.  Comparison, equality and hashing go by value, so the
// integer 1 and the real 1.0 are equal and hash alike.
#include "platform/cf/CFRuntime.h"
#include "platform/cf/NumberInternal.h"

#include <CoreFoundation/CFNumber.h>

#include <cmath>
#include <cstring>
#include <limits>

namespace quillmate_cf {
namespace {

constinit const __CFBoolean trueObject{{kBooleanTypeID, kImmortalFlag, {1}}, true};
constinit const __CFBoolean falseObject{{kBooleanTypeID, kImmortalFlag, {1}}, false};

enum class Kind { Signed, BigUnsigned, Real };

struct Number {
  __CFRuntimeBase _base;
  Kind kind;
  CFNumberType type; // kCFNumberSInt8Type ... kCFNumberFloat64Type
  union {
    SInt64 i;
    UInt64 u;
    Float64 d;
  } value;
};

const Number *asNumber(CFNumberRef n) { return reinterpret_cast<const Number *>(n); }

// Width class of a CFNumberType: the SIntN/FloatN type of the same size.
CFNumberType canonicalType(CFNumberType t) {
  switch (t) {
  case kCFNumberSInt8Type:
  case kCFNumberCharType: return kCFNumberSInt8Type;
  case kCFNumberSInt16Type:
  case kCFNumberShortType: return kCFNumberSInt16Type;
  case kCFNumberSInt32Type:
  case kCFNumberIntType: return kCFNumberSInt32Type;
  case kCFNumberSInt64Type:
  case kCFNumberLongType:
  case kCFNumberLongLongType:
  case kCFNumberCFIndexType:
  case kCFNumberNSIntegerType: return kCFNumberSInt64Type;
  case kCFNumberFloat32Type:
  case kCFNumberFloatType: return kCFNumberFloat32Type;
  case kCFNumberFloat64Type:
  case kCFNumberDoubleType:
  case kCFNumberCGFloatType: return kCFNumberFloat64Type;
  default: return 0;
  }
}

Number *create(Kind kind, CFNumberType type) {
  Number *n = createInstance<Number>(kNumberTypeID);
  if (n) {
    n->kind = kind;
    n->type = type;
  }
  return n;
}

// Three-way comparison by value.  NaN sorts below every other number and
// equals itself, so that equality stays an equivalence.
int compareValues(const Number *a, const Number *b) {
  auto cmp = [](auto x, auto y) { return x < y ? -1 : (y < x ? 1 : 0); };
  auto realVsSigned = [&](double d, SInt64 i) {
    if (std::isnan(d)) return -1;
    if (d < -9223372036854775808.0) return -1;
    if (d >= 9223372036854775808.0) return 1;
    double t = std::trunc(d);
    auto ti = static_cast<SInt64>(t);
    if (ti != i) return cmp(ti, i);
    return cmp(d, t); // the fraction decides
  };
  auto realVsBig = [&](double d, UInt64 u) {
    if (std::isnan(d)) return -1;
    if (d < 9223372036854775808.0) return -1;
    if (d >= 18446744073709551616.0) return 1;
    double t = std::trunc(d);
    auto tu = static_cast<UInt64>(t);
    if (tu != u) return cmp(tu, u);
    return cmp(d, t);
  };
  switch (a->kind) {
  case Kind::Signed:
    if (b->kind == Kind::Signed) return cmp(a->value.i, b->value.i);
    if (b->kind == Kind::BigUnsigned) return -1;
    return -realVsSigned(b->value.d, a->value.i);
  case Kind::BigUnsigned:
    if (b->kind == Kind::Signed) return 1;
    if (b->kind == Kind::BigUnsigned) return cmp(a->value.u, b->value.u);
    return -realVsBig(b->value.d, a->value.u);
  case Kind::Real:
    if (b->kind == Kind::Signed) return realVsSigned(a->value.d, b->value.i);
    if (b->kind == Kind::BigUnsigned) return realVsBig(a->value.d, b->value.u);
    if (std::isnan(a->value.d) || std::isnan(b->value.d)) {
      return std::isnan(a->value.d) ? (std::isnan(b->value.d) ? 0 : -1) : 1;
    }
    return cmp(a->value.d, b->value.d);
  }
  return 0;
}

bool numbersEqual(CFTypeRef a, CFTypeRef b) {
  return compareValues(asNumber(static_cast<CFNumberRef>(a)),
                       asNumber(static_cast<CFNumberRef>(b))) == 0;
}

// Integral values hash as their integer, so 3 and 3.0 agree.
CFHashCode numberHash(CFTypeRef cf) {
  const Number *n = asNumber(static_cast<CFNumberRef>(cf));
  UInt64 bits = 0;
  switch (n->kind) {
  case Kind::Signed: bits = static_cast<UInt64>(n->value.i); break;
  case Kind::BigUnsigned: bits = n->value.u; break;
  case Kind::Real: {
    double d = n->value.d;
    if (std::isnan(d)) {
      bits = 0x7ff8000000000000ull;
    } else if (d == std::trunc(d) && d >= -9223372036854775808.0 && d < 9223372036854775808.0) {
      bits = static_cast<UInt64>(static_cast<SInt64>(d));
    } else if (d == std::trunc(d) && d >= 0 && d < 18446744073709551616.0) {
      bits = static_cast<UInt64>(d);
    } else {
      std::memcpy(&bits, &d, sizeof bits);
    }
    break;
  }
  }
  bits ^= bits >> 33;
  bits *= 0xff51afd7ed558ccdull;
  bits ^= bits >> 33;
  return static_cast<CFHashCode>(bits);
}

template <typename T> bool storeInteger(const Number *n, void *out) {
  constexpr SInt64 lo = std::numeric_limits<T>::min();
  constexpr UInt64 hi = static_cast<UInt64>(std::numeric_limits<T>::max());
  T v = 0;
  bool exact = true;
  switch (n->kind) {
  case Kind::Signed:
    if (n->value.i < lo) {
      v = static_cast<T>(lo);
      exact = false;
    } else if (n->value.i > 0 && static_cast<UInt64>(n->value.i) > hi) {
      v = static_cast<T>(hi);
      exact = false;
    } else {
      v = static_cast<T>(n->value.i);
    }
    break;
  case Kind::BigUnsigned:
    v = static_cast<T>(hi);
    exact = false;
    break;
  case Kind::Real: {
    double d = n->value.d;
    if (std::isnan(d)) {
      v = 0;
      exact = false;
    } else if (d < static_cast<double>(lo)) {
      v = static_cast<T>(lo);
      exact = false;
    } else if (d >= static_cast<double>(hi) + 1.0) {
      v = static_cast<T>(hi);
      exact = false;
    } else {
      double t = std::trunc(d);
      v = static_cast<T>(t);
      exact = t == d;
    }
    break;
  }
  }
  std::memcpy(out, &v, sizeof v);
  return exact;
}

template <typename T> bool storeReal(const Number *n, void *out) {
  T v = 0;
  bool exact;
  switch (n->kind) {
  case Kind::Signed:
    v = static_cast<T>(n->value.i);
    exact = static_cast<long double>(v) == static_cast<long double>(n->value.i);
    break;
  case Kind::BigUnsigned:
    v = static_cast<T>(n->value.u);
    exact = static_cast<long double>(v) == static_cast<long double>(n->value.u);
    break;
  default:
    v = static_cast<T>(n->value.d);
    exact = std::isnan(n->value.d) || static_cast<double>(v) == n->value.d;
    break;
  }
  std::memcpy(out, &v, sizeof v);
  return exact;
}

} // namespace

const RuntimeClass kBooleanClass = {"CFBoolean", nullptr, nullptr, nullptr};
const RuntimeClass kNumberClass = {"CFNumber", destroyInstance<Number>, numbersEqual, numberHash};

CFNumberRef createNumberFromUnsigned(UInt64 value) {
  if (value <= static_cast<UInt64>(std::numeric_limits<SInt64>::max())) {
    SInt64 v = static_cast<SInt64>(value);
    return CFNumberCreate(nullptr, kCFNumberSInt64Type, &v);
  }
  Number *n = create(Kind::BigUnsigned, kCFNumberSInt64Type);
  if (n) n->value.u = value;
  return reinterpret_cast<CFNumberRef>(n);
}

std::optional<UInt64> bigUnsignedValue(CFNumberRef number) {
  const Number *n = asNumber(number);
  if (n->kind != Kind::BigUnsigned) return std::nullopt;
  return n->value.u;
}

} // namespace quillmate_cf

using namespace quillmate_cf;

extern "C" {

const CFBooleanRef kCFBooleanTrue = &trueObject;
const CFBooleanRef kCFBooleanFalse = &falseObject;

CFTypeID CFBooleanGetTypeID(void) { return kBooleanTypeID; }

Boolean CFBooleanGetValue(CFBooleanRef boolean) { return boolean && boolean->_value; }

CFTypeID CFNumberGetTypeID(void) { return kNumberTypeID; }

CFNumberRef CFNumberCreate(CFAllocatorRef, CFNumberType theType, const void *valuePtr) {
  CFNumberType type = canonicalType(theType);
  if (!type || !valuePtr) return nullptr;
  bool real = type == kCFNumberFloat32Type || type == kCFNumberFloat64Type;
  Number *n = create(real ? Kind::Real : Kind::Signed, type);
  if (!n) return nullptr;
  switch (theType) {
  case kCFNumberSInt8Type: n->value.i = *static_cast<const SInt8 *>(valuePtr); break;
  case kCFNumberCharType: n->value.i = *static_cast<const char *>(valuePtr); break;
  case kCFNumberSInt16Type: n->value.i = *static_cast<const SInt16 *>(valuePtr); break;
  case kCFNumberShortType: n->value.i = *static_cast<const short *>(valuePtr); break;
  case kCFNumberSInt32Type: n->value.i = *static_cast<const SInt32 *>(valuePtr); break;
  case kCFNumberIntType: n->value.i = *static_cast<const int *>(valuePtr); break;
  case kCFNumberSInt64Type: n->value.i = *static_cast<const SInt64 *>(valuePtr); break;
  case kCFNumberLongType:
  case kCFNumberNSIntegerType: n->value.i = *static_cast<const long *>(valuePtr); break;
  case kCFNumberLongLongType: n->value.i = *static_cast<const long long *>(valuePtr); break;
  case kCFNumberCFIndexType: n->value.i = *static_cast<const CFIndex *>(valuePtr); break;
  case kCFNumberFloat32Type: n->value.d = *static_cast<const Float32 *>(valuePtr); break;
  case kCFNumberFloatType: n->value.d = *static_cast<const float *>(valuePtr); break;
  default: n->value.d = *static_cast<const double *>(valuePtr); break;
  }
  return reinterpret_cast<CFNumberRef>(n);
}

CFNumberType CFNumberGetType(CFNumberRef number) { return number ? asNumber(number)->type : 0; }

CFIndex CFNumberGetByteSize(CFNumberRef number) {
  switch (CFNumberGetType(number)) {
  case kCFNumberSInt8Type: return 1;
  case kCFNumberSInt16Type: return 2;
  case kCFNumberSInt32Type:
  case kCFNumberFloat32Type: return 4;
  case kCFNumberSInt64Type:
  case kCFNumberFloat64Type: return 8;
  default: return 0;
  }
}

Boolean CFNumberIsFloatType(CFNumberRef number) {
  return number && asNumber(number)->kind == Kind::Real;
}

Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void *valuePtr) {
  if (!number || !valuePtr) return false;
  const Number *n = asNumber(number);
  switch (theType) {
  case kCFNumberSInt8Type: return storeInteger<SInt8>(n, valuePtr);
  case kCFNumberCharType: return storeInteger<char>(n, valuePtr);
  case kCFNumberSInt16Type: return storeInteger<SInt16>(n, valuePtr);
  case kCFNumberShortType: return storeInteger<short>(n, valuePtr);
  case kCFNumberSInt32Type: return storeInteger<SInt32>(n, valuePtr);
  case kCFNumberIntType: return storeInteger<int>(n, valuePtr);
  case kCFNumberSInt64Type: return storeInteger<SInt64>(n, valuePtr);
  case kCFNumberLongType:
  case kCFNumberNSIntegerType: return storeInteger<long>(n, valuePtr);
  case kCFNumberLongLongType: return storeInteger<long long>(n, valuePtr);
  case kCFNumberCFIndexType: return storeInteger<CFIndex>(n, valuePtr);
  case kCFNumberFloat32Type: return storeReal<Float32>(n, valuePtr);
  case kCFNumberFloatType: return storeReal<float>(n, valuePtr);
  case kCFNumberFloat64Type:
  case kCFNumberDoubleType:
  case kCFNumberCGFloatType: return storeReal<double>(n, valuePtr);
  default: return false;
  }
}

CFComparisonResult CFNumberCompare(CFNumberRef number, CFNumberRef otherNumber, void *) {
  return compareValues(asNumber(number), asNumber(otherNumber));
}

} // extern "C"
