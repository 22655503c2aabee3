// The object model: reference counts, immortal constants, type IDs, equality.
#include <CoreFoundation/CoreFoundation.h>

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

namespace {

CFStringRef makeString(const char *text) {
  return CFStringCreateWithCString(kCFAllocatorDefault, text, kCFStringEncodingUTF8);
}

TEST(CFBase, RetainAndReleaseCountReferences) {
  CFStringRef s = makeString("counted");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(CFGetRetainCount(s), 1);
  EXPECT_EQ(CFRetain(s), s);
  EXPECT_EQ(CFGetRetainCount(s), 2);
  CFRelease(s);
  EXPECT_EQ(CFGetRetainCount(s), 1);
  CFRelease(s); // the last reference: AddressSanitizer sees a leak otherwise
}

TEST(CFBase, CountsStayExactUnderConcurrentRetainAndRelease) {
  CFStringRef s = makeString("shared");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([s] {
      for (int i = 0; i < 20000; ++i) {
        CFRetain(s);
        CFRetain(s);
        CFRelease(s);
        CFRelease(s);
      }
    });
  }
  for (auto &thread : threads) thread.join();
  EXPECT_EQ(CFGetRetainCount(s), 1);
  CFRelease(s);
}

TEST(CFBase, ConstantsAreImmortal) {
  CFStringRef constant = CFSTR("constant");
  for (int i = 0; i < 10; ++i) CFRelease(constant);
  EXPECT_EQ(CFGetRetainCount(constant), kCFRetainCountImmortal);
  EXPECT_EQ(CFStringGetLength(constant), 8);
  CFRetain(kCFBooleanTrue);
  CFRelease(kCFBooleanTrue);
  CFRelease(kCFBooleanTrue);
  EXPECT_TRUE(CFBooleanGetValue(kCFBooleanTrue));
  EXPECT_EQ(CFGetRetainCount(kCFBooleanFalse), kCFRetainCountImmortal);
}

TEST(CFBase, SameLiteralGivesSameConstant) {
  EXPECT_EQ(CFSTR("same"), CFSTR("same"));
  EXPECT_NE(CFSTR("same"), CFSTR("other"));
}

// Constants are usable in static initialisers of other translation units.
const CFStringRef staticallyInitialised = CFSTR("early");
TEST(CFBase, ConstantsNeedNoDynamicInitialisation) {
  ASSERT_NE(staticallyInitialised, nullptr);
  EXPECT_EQ(CFStringGetLength(staticallyInitialised), 5);
}

TEST(CFBase, TypeIDsAreDistinctAndStable) {
  std::set<CFTypeID> ids = {CFStringGetTypeID(), CFBooleanGetTypeID(), CFNumberGetTypeID()};
  EXPECT_EQ(ids.size(), 3u);
  EXPECT_EQ(ids.count(0), 0u);
  SInt32 v = 0;
  CFNumberRef n = CFNumberCreate(nullptr, kCFNumberSInt32Type, &v);
  EXPECT_EQ(CFGetTypeID(n), CFNumberGetTypeID());
  EXPECT_EQ(CFGetTypeID(CFSTR("x")), CFStringGetTypeID());
  EXPECT_EQ(CFGetTypeID(kCFBooleanFalse), CFBooleanGetTypeID());
  CFRelease(n);
}

TEST(CFBase, NullIsHarmless) {
  EXPECT_EQ(CFRetain(nullptr), nullptr);
  CFRelease(nullptr);
  EXPECT_EQ(CFGetTypeID(nullptr), 0u);
  EXPECT_TRUE(CFEqual(nullptr, nullptr));
  EXPECT_FALSE(CFEqual(nullptr, CFSTR("")));
  EXPECT_FALSE(CFEqual(CFSTR(""), nullptr));
}

TEST(CFBase, EqualityFollowsContentsWithinAType) {
  CFStringRef made = makeString("key");
  EXPECT_TRUE(CFEqual(made, CFSTR("key")));
  EXPECT_EQ(CFHash(made), CFHash(CFSTR("key")));
  EXPECT_FALSE(CFEqual(made, CFSTR("Key")));
  // Different types are never equal, whatever they hold.
  SInt32 one = 1;
  CFNumberRef n = CFNumberCreate(nullptr, kCFNumberSInt32Type, &one);
  EXPECT_FALSE(CFEqual(n, kCFBooleanTrue));
  EXPECT_FALSE(CFEqual(kCFBooleanTrue, kCFBooleanFalse));
  EXPECT_TRUE(CFEqual(kCFBooleanTrue, kCFBooleanTrue));
  CFRelease(n);
  CFRelease(made);
}

} // namespace
