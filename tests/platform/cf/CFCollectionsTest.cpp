// Arrays, dictionaries, dates and data: ownership through callbacks, lookup
// by contents, equality.
#include <CoreFoundation/CoreFoundation.h>

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace {

CFStringRef str(const char *s) {
  return CFStringCreateWithCString(nullptr, s, kCFStringEncodingUTF8);
}

TEST(CFArray, RetainsWithTypeCallBacksAndReleasesOnDestruction) {
  CFStringRef a = str("a");
  const void *values[] = {a, a};
  CFArrayRef array = CFArrayCreate(nullptr, values, 2, &kCFTypeArrayCallBacks);
  EXPECT_EQ(CFGetRetainCount(a), 3);
  EXPECT_EQ(CFArrayGetCount(array), 2);
  EXPECT_EQ(CFArrayGetValueAtIndex(array, 1), a);
  EXPECT_EQ(CFArrayGetValueAtIndex(array, 2), nullptr);
  EXPECT_EQ(CFArrayGetValueAtIndex(array, -1), nullptr);
  CFRelease(array);
  EXPECT_EQ(CFGetRetainCount(a), 1);
  CFRelease(a);
}

TEST(CFArray, WithoutCallBacksHoldsPlainPointers) {
  int x = 1, y = 2;
  CFMutableArrayRef array = CFArrayCreateMutable(nullptr, 0, nullptr);
  CFArrayAppendValue(array, &x);
  CFArrayInsertValueAtIndex(array, 0, &y);
  EXPECT_EQ(CFArrayGetValueAtIndex(array, 0), &y);
  EXPECT_EQ(CFArrayGetValueAtIndex(array, 1), &x);
  EXPECT_TRUE(CFArrayContainsValue(array, CFRangeMake(0, 2), &x));
  EXPECT_FALSE(CFArrayContainsValue(array, CFRangeMake(0, 1), &x));
  CFArrayRemoveValueAtIndex(array, 0);
  EXPECT_EQ(CFArrayGetCount(array), 1);
  CFRelease(array);
}

TEST(CFArray, MutationsOfImmutableArraysAndBadRangesDoNothing) {
  const void *values[] = {CFSTR("a")};
  CFArrayRef fixed = CFArrayCreate(nullptr, values, 1, &kCFTypeArrayCallBacks);
  CFArrayAppendValue(const_cast<CFMutableArrayRef>(fixed), CFSTR("b"));
  EXPECT_EQ(CFArrayGetCount(fixed), 1);
  const void *out[2] = {nullptr, nullptr};
  CFArrayGetValues(fixed, CFRangeMake(0, 2), out);
  EXPECT_EQ(out[0], nullptr) << "a range past the end must not be read";
  CFMutableArrayRef bounded = CFArrayCreateMutable(nullptr, 1, &kCFTypeArrayCallBacks);
  CFArrayAppendValue(bounded, CFSTR("a"));
  CFArrayAppendValue(bounded, CFSTR("b"));
  EXPECT_EQ(CFArrayGetCount(bounded), 1);
  EXPECT_TRUE(CFEqual(fixed, bounded));
  CFRelease(fixed);
  CFRelease(bounded);
}

TEST(CFDictionary, FindsKeysByContentsNotAddress) {
  CFMutableDictionaryRef dict = CFDictionaryCreateMutable(
      nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
  CFStringRef key = str("IncludeLineFeed");
  CFDictionarySetValue(dict, key, kCFBooleanFalse);
  EXPECT_EQ(CFDictionaryGetValue(dict, CFSTR("IncludeLineFeed")), kCFBooleanFalse);
  EXPECT_TRUE(CFDictionaryContainsKey(dict, CFSTR("IncludeLineFeed")));
  EXPECT_FALSE(CFDictionaryContainsKey(dict, CFSTR("includelinefeed")));
  // Set replaces; Add keeps; Replace only replaces.
  CFDictionarySetValue(dict, CFSTR("IncludeLineFeed"), kCFBooleanTrue);
  CFDictionaryAddValue(dict, CFSTR("IncludeLineFeed"), kCFBooleanFalse);
  CFDictionaryReplaceValue(dict, CFSTR("OpenFile"), kCFBooleanFalse);
  EXPECT_EQ(CFDictionaryGetValue(dict, key), kCFBooleanTrue);
  EXPECT_EQ(CFDictionaryGetCount(dict), 1);
  CFDictionaryRemoveValue(dict, CFSTR("IncludeLineFeed"));
  EXPECT_EQ(CFDictionaryGetCount(dict), 0);
  EXPECT_EQ(CFGetRetainCount(key), 1) << "the dictionary kept a reference to a removed key";
  CFRelease(key);
  CFRelease(dict);
}

TEST(CFDictionary, NumbersAsKeysMatchAcrossIntegerAndReal) {
  int one = 1;
  double oneReal = 1.0;
  CFNumberRef k1 = CFNumberCreate(nullptr, kCFNumberIntType, &one);
  CFNumberRef k2 = CFNumberCreate(nullptr, kCFNumberDoubleType, &oneReal);
  const void *keys[] = {k1};
  const void *values[] = {CFSTR("one")};
  CFDictionaryRef dict = CFDictionaryCreate(nullptr, keys, values, 1,
                                            &kCFTypeDictionaryKeyCallBacks,
                                            &kCFTypeDictionaryValueCallBacks);
  EXPECT_EQ(CFDictionaryGetValue(dict, k2), CFSTR("one"));
  CFRelease(dict);
  CFRelease(k1);
  CFRelease(k2);
}

TEST(CFDictionary, CopiesAreIndependentAndEqualByContents) {
  CFMutableDictionaryRef a = CFDictionaryCreateMutable(
      nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
  CFDictionarySetValue(a, CFSTR("k"), CFSTR("v"));
  CFDictionaryRef frozen = CFDictionaryCreateCopy(nullptr, a);
  CFMutableDictionaryRef copy = CFDictionaryCreateMutableCopy(nullptr, 0, frozen);
  EXPECT_TRUE(CFEqual(a, frozen));
  EXPECT_TRUE(CFEqual(frozen, copy));
  CFDictionarySetValue(copy, CFSTR("k"), CFSTR("w"));
  EXPECT_FALSE(CFEqual(frozen, copy));
  EXPECT_TRUE(CFEqual(CFDictionaryGetValue(frozen, CFSTR("k")), CFSTR("v")));
  CFDictionarySetValue(const_cast<CFMutableDictionaryRef>(frozen), CFSTR("x"), CFSTR("y"));
  EXPECT_EQ(CFDictionaryGetCount(frozen), 1);
  const void *keys[1], *values[1];
  CFDictionaryGetKeysAndValues(copy, keys, values);
  EXPECT_TRUE(CFEqual(keys[0], CFSTR("k")));
  EXPECT_TRUE(CFEqual(values[0], CFSTR("w")));
  CFDictionaryRemoveAllValues(copy);
  EXPECT_EQ(CFDictionaryGetCount(copy), 0);
  for (CFTypeRef d : {static_cast<CFTypeRef>(a), static_cast<CFTypeRef>(frozen),
                      static_cast<CFTypeRef>(copy)}) {
    CFRelease(d);
  }
}

TEST(CFDateAndData, HoldValuesAndCompare) {
  CFDateRef d1 = CFDateCreate(nullptr, -4733510400.0); // 1850-12-31
  CFDateRef d2 = CFDateCreate(nullptr, -4733510400.0);
  CFDateRef now = CFDateCreate(nullptr, CFAbsoluteTimeGetCurrent());
  EXPECT_TRUE(CFEqual(d1, d2));
  EXPECT_EQ(CFHash(d1), CFHash(d2));
  EXPECT_EQ(CFDateCompare(d1, now, nullptr), kCFCompareLessThan);
  EXPECT_GT(CFDateGetAbsoluteTime(now), 8e8) << "the clock counts from 2001";
  const UInt8 bytes[] = {0, 1, 2, 255};
  CFDataRef data = CFDataCreate(nullptr, bytes, 4);
  CFDataRef same = CFDataCreate(nullptr, bytes, 4);
  CFDataRef empty = CFDataCreate(nullptr, nullptr, 0);
  EXPECT_TRUE(CFEqual(data, same));
  EXPECT_FALSE(CFEqual(data, empty));
  EXPECT_NE(CFDataGetBytePtr(empty), nullptr);
  UInt8 middle[2] = {9, 9};
  CFDataGetBytes(data, CFRangeMake(1, 2), middle);
  EXPECT_EQ(middle[0], 1);
  EXPECT_EQ(middle[1], 2);
  EXPECT_EQ(CFDataCreate(nullptr, nullptr, 3), nullptr);
  for (CFTypeRef o : {static_cast<CFTypeRef>(d1), static_cast<CFTypeRef>(d2),
                      static_cast<CFTypeRef>(now), static_cast<CFTypeRef>(data),
                      static_cast<CFTypeRef>(same), static_cast<CFTypeRef>(empty)}) {
    CFRelease(o);
  }
}

// A million levels of collections, built through the API: an array holding
// the level below, a dictionary holding it as a value, or as a key.
enum class Holder { Array, Value, Key };

CFTypeRef nest(CFTypeRef leaf, int depth, std::initializer_list<Holder> pattern) {
  CFTypeRef inner = CFRetain(leaf);
  for (int level = 0; level < depth; ++level) {
    const Holder holder = pattern.begin()[level % pattern.size()];
    CFTypeRef outer;
    if (holder == Holder::Array) {
      CFMutableArrayRef array = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
      CFArrayAppendValue(array, inner);
      outer = array;
    } else {
      CFMutableDictionaryRef dict = CFDictionaryCreateMutable(
          nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
      if (holder == Holder::Value)
        CFDictionarySetValue(dict, CFSTR("key"), inner);
      else
        CFDictionarySetValue(dict, inner, leaf);
      outer = dict;
    }
    CFRelease(inner);
    inner = outer;
  }
  return inner;
}

// Releasing the outermost level frees every level below it without a
// recursion per level, which overflowed the stack.
TEST(CFCollections, MillionDeepNestsReleaseInConstantStack) {
  constexpr int kDepth = 1000000;
  CFStringRef leaf = str("leaf");
  for (auto pattern : {std::initializer_list<Holder>{Holder::Array}, {Holder::Value},
                       {Holder::Array, Holder::Value, Holder::Key}}) {
    CFTypeRef top = nest(leaf, kDepth, pattern);
    EXPECT_GT(CFGetRetainCount(leaf), 1);
    CFRelease(top);
    EXPECT_EQ(CFGetRetainCount(leaf), 1); // every level went
  }
  CFRelease(leaf);
}

// Comparing two such nests by contents takes constant stack too, through
// arrays and dictionary values, and still finds a difference at the bottom.
TEST(CFCollections, MillionDeepNestsCompareInConstantStack) {
  constexpr int kDepth = 1000000;
  CFStringRef leaf = str("leaf"), other = str("other");
  const auto pattern = {Holder::Value, Holder::Array};
  CFTypeRef a = nest(leaf, kDepth, pattern), b = nest(leaf, kDepth, pattern);
  CFTypeRef c = nest(other, kDepth, pattern);
  EXPECT_TRUE(CFEqual(a, b));
  EXPECT_FALSE(CFEqual(a, c));
  for (CFTypeRef o : {a, b, c})
    CFRelease(o);
  CFRelease(leaf);
  CFRelease(other);
}

} // namespace
