// CFNumber and CFBoolean: values in and out, lossy conversions, comparison.
#include <CoreFoundation/CoreFoundation.h>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

template <typename T> CFNumberRef make(CFNumberType type, T value) {
  return CFNumberCreate(nullptr, type, &value);
}

TEST(CFBoolean, HoldsItsValue) {
  EXPECT_TRUE(CFBooleanGetValue(kCFBooleanTrue));
  EXPECT_FALSE(CFBooleanGetValue(kCFBooleanFalse));
  EXPECT_NE(CFBooleanGetTypeID(), CFNumberGetTypeID());
}

TEST(CFNumber, GivesBackWhatItWasMadeWith) {
  CFNumberRef i8 = make<SInt8>(kCFNumberSInt8Type, -5);
  CFNumberRef i32 = make<SInt32>(kCFNumberSInt32Type, -2000000000);
  CFNumberRef i64 = make<SInt64>(kCFNumberSInt64Type, std::numeric_limits<SInt64>::min());
  CFNumberRef f64 = make<double>(kCFNumberFloat64Type, 0.1);
  CFNumberRef f32 = make<float>(kCFNumberFloatType, 0.1f);
  SInt8 a;
  SInt32 b;
  SInt64 c;
  double d;
  float e;
  EXPECT_TRUE(CFNumberGetValue(i8, kCFNumberSInt8Type, &a));
  EXPECT_EQ(a, -5);
  EXPECT_TRUE(CFNumberGetValue(i32, kCFNumberSInt32Type, &b));
  EXPECT_EQ(b, -2000000000);
  EXPECT_TRUE(CFNumberGetValue(i64, kCFNumberSInt64Type, &c));
  EXPECT_EQ(c, std::numeric_limits<SInt64>::min());
  EXPECT_TRUE(CFNumberGetValue(f64, kCFNumberFloat64Type, &d));
  EXPECT_EQ(d, 0.1);
  EXPECT_TRUE(CFNumberGetValue(f32, kCFNumberFloat32Type, &e));
  EXPECT_EQ(e, 0.1f);
  EXPECT_EQ(CFNumberGetType(i8), kCFNumberSInt8Type);
  EXPECT_EQ(CFNumberGetType(f32), kCFNumberFloat32Type);
  CFNumberRef plainInt = make<int>(kCFNumberIntType, 1);
  EXPECT_EQ(CFNumberGetType(plainInt), kCFNumberSInt32Type);
  CFRelease(plainInt);
  EXPECT_TRUE(CFNumberIsFloatType(f64));
  EXPECT_FALSE(CFNumberIsFloatType(i64));
  EXPECT_EQ(CFNumberGetByteSize(i32), 4);
  for (CFTypeRef n : {i8, i32, i64, f64, f32}) CFRelease(n);
}

TEST(CFNumber, LossyConversionsReportFalseAndClamp) {
  CFNumberRef big = make<SInt32>(kCFNumberSInt32Type, 300);
  SInt8 small = 0;
  EXPECT_FALSE(CFNumberGetValue(big, kCFNumberSInt8Type, &small));
  EXPECT_EQ(small, 127);
  SInt16 fits = 0;
  EXPECT_TRUE(CFNumberGetValue(big, kCFNumberSInt16Type, &fits));
  EXPECT_EQ(fits, 300);

  CFNumberRef fraction = make<double>(kCFNumberFloat64Type, -2.75);
  SInt32 whole = 0;
  EXPECT_FALSE(CFNumberGetValue(fraction, kCFNumberSInt32Type, &whole));
  EXPECT_EQ(whole, -2) << "truncates toward zero";

  CFNumberRef huge = make<double>(kCFNumberFloat64Type, 1e300);
  SInt64 wide = 0;
  EXPECT_FALSE(CFNumberGetValue(huge, kCFNumberSInt64Type, &wide));
  EXPECT_EQ(wide, std::numeric_limits<SInt64>::max());
  float narrow = 0;
  EXPECT_FALSE(CFNumberGetValue(huge, kCFNumberFloat32Type, &narrow));

  CFNumberRef nan = make<double>(kCFNumberFloat64Type, std::nan(""));
  EXPECT_FALSE(CFNumberGetValue(nan, kCFNumberSInt32Type, &whole));
  EXPECT_EQ(whole, 0);

  CFNumberRef odd = make<SInt64>(kCFNumberSInt64Type, (SInt64{1} << 53) + 1);
  double real = 0;
  EXPECT_FALSE(CFNumberGetValue(odd, kCFNumberFloat64Type, &real)) << "2^53 + 1 has no double";
  CFNumberRef even = make<SInt64>(kCFNumberSInt64Type, SInt64{1} << 53);
  EXPECT_TRUE(CFNumberGetValue(even, kCFNumberFloat64Type, &real));

  EXPECT_FALSE(CFNumberGetValue(big, 99, &whole));
  EXPECT_EQ(CFNumberCreate(nullptr, 99, &whole), nullptr);
  EXPECT_EQ(CFNumberCreate(nullptr, kCFNumberSInt32Type, nullptr), nullptr);
  for (CFTypeRef n : {big, fraction, huge, nan, odd, even}) CFRelease(n);
}

TEST(CFNumber, ComparesAndHashesByValueAcrossIntegerAndReal) {
  CFNumberRef three = make<SInt32>(kCFNumberSInt32Type, 3);
  CFNumberRef threeReal = make<double>(kCFNumberFloat64Type, 3.0);
  CFNumberRef threeHalf = make<double>(kCFNumberFloat64Type, 3.5);
  CFNumberRef minusZero = make<double>(kCFNumberFloat64Type, -0.0);
  CFNumberRef zero = make<SInt8>(kCFNumberSInt8Type, 0);
  CFNumberRef nan1 = make<double>(kCFNumberFloat64Type, std::nan(""));
  CFNumberRef nan2 = make<double>(kCFNumberFloat64Type, std::nan(""));
  EXPECT_TRUE(CFEqual(three, threeReal));
  EXPECT_EQ(CFHash(three), CFHash(threeReal));
  EXPECT_FALSE(CFEqual(three, threeHalf));
  EXPECT_EQ(CFNumberCompare(three, threeHalf, nullptr), kCFCompareLessThan);
  EXPECT_EQ(CFNumberCompare(threeHalf, three, nullptr), kCFCompareGreaterThan);
  EXPECT_TRUE(CFEqual(minusZero, zero));
  EXPECT_EQ(CFHash(minusZero), CFHash(zero));
  EXPECT_TRUE(CFEqual(nan1, nan2)) << "equality must stay reflexive for NaN";
  EXPECT_EQ(CFNumberCompare(nan1, zero, nullptr), kCFCompareLessThan);
  // Near the end of the integer range, doubles must not be rounded into ints.
  CFNumberRef max = make<SInt64>(kCFNumberSInt64Type, std::numeric_limits<SInt64>::max());
  CFNumberRef twoTo63 = make<double>(kCFNumberFloat64Type, 9223372036854775808.0);
  EXPECT_FALSE(CFEqual(max, twoTo63));
  EXPECT_EQ(CFNumberCompare(max, twoTo63, nullptr), kCFCompareLessThan);
  for (CFTypeRef n : {three, threeReal, threeHalf, minusZero, zero, nan1, nan2, max, twoTo63}) {
    CFRelease(n);
  }
}

} // namespace
