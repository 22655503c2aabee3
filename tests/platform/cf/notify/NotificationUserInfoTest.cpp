// User information on the wire: every kind of value that can travel comes
// back equal, a post with a value that cannot is not sent at all, and posts
// from another program (gdbus, with D-Bus types of its choosing) are read.
#include <CoreFoundation/CoreFoundation.h>

#include "tests/platform/cf/notify/PrivateBus.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

using quillmate::testing::PrivateBus;

struct Received {
  std::vector<CFDictionaryRef> infos;  // retained; null entries for none
  std::vector<std::string> objects;
  ~Received() {
    for (CFDictionaryRef d : infos)
      if (d) CFRelease(d);
  }
  static void callback(CFNotificationCenterRef, void* observer, CFNotificationName,
                       const void* object, CFDictionaryRef userInfo) {
    auto* self = static_cast<Received*>(observer);
    if (userInfo) CFRetain(userInfo);
    self->infos.push_back(userInfo);
    char buffer[256] = "-";
    if (object) CFStringGetCString(static_cast<CFStringRef>(object), buffer, sizeof buffer,
                                   kCFStringEncodingUTF8);
    self->objects.push_back(buffer);
  }
};

class NotificationUserInfoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(bus.running());
    CFNotificationCenterAddObserver(center, &received, Received::callback, CFSTR("info"), nullptr,
                                    CFNotificationSuspensionBehaviorHold);
  }
  void TearDown() override { CFNotificationCenterRemoveEveryObserver(center, &received); }

  void post(CFStringRef object, CFDictionaryRef info) {
    CFNotificationCenterPostNotification(center, CFSTR("info"), object, info, true);
  }
  // Posts a marker (no user information) and runs until it arrives.
  bool drain() {
    post(CFSTR("marker"), nullptr);
    auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < giveUp) {
      if (!received.objects.empty() && received.objects.back() == "marker") return true;
      CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.1, true);
    }
    return false;
  }

  PrivateBus bus;
  CFNotificationCenterRef center = CFNotificationCenterGetDistributedCenter();
  Received received;
};

CFDictionaryRef dictionary(std::vector<std::pair<CFStringRef, CFTypeRef>> entries) {
  CFMutableDictionaryRef d = CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                                       &kCFTypeDictionaryValueCallBacks);
  for (auto& [key, value] : entries) {
    CFDictionarySetValue(d, key, value);
    CFRelease(value);
  }
  return d;
}

CFNumberRef integer(SInt64 v) { return CFNumberCreate(nullptr, kCFNumberSInt64Type, &v); }
CFNumberRef real(double v) { return CFNumberCreate(nullptr, kCFNumberFloat64Type, &v); }
CFStringRef string(const char* s) {
  return CFStringCreateWithCString(nullptr, s, kCFStringEncodingUTF8);
}

TEST_F(NotificationUserInfoTest, EveryWireTypeComesBackEqual) {
  const UInt8 bytes[] = {0, 1, 2, 255};
  const void* items[] = {CFSTR("one"), kCFBooleanFalse};
  CFArrayRef inner = CFArrayCreate(nullptr, items, 2, &kCFTypeArrayCallBacks);
  const void* outerItems[] = {inner, CFSTR("")};
  CFArrayRef outer = CFArrayCreate(nullptr, outerItems, 2, &kCFTypeArrayCallBacks);
  CFRelease(inner);
  CFDictionaryRef nested = dictionary({{CFSTR("deep"), integer(-1)},
                                       {CFSTR("empty"), dictionary({})}});
  CFDictionaryRef info = dictionary({
      {CFSTR("string"), string("h\xc3\xa9llo 'quoted'")},
      {CFSTR("true"), CFRetain(kCFBooleanTrue)},
      {CFSTR("integer"), integer(INT64_MIN)},
      {CFSTR("real"), real(-2.5e300)},
      {CFSTR("data"), CFDataCreate(nullptr, bytes, sizeof bytes)},
      {CFSTR("empty data"), CFDataCreate(nullptr, nullptr, 0)},
      {CFSTR("array"), outer},
      {CFSTR("dictionary"), nested},
  });
  post(CFSTR("full"), info);
  ASSERT_TRUE(drain());
  ASSERT_EQ(received.objects, (std::vector<std::string>{"full", "marker"}));
  ASSERT_NE(received.infos[0], nullptr);
  EXPECT_TRUE(CFEqual(received.infos[0], info));
  EXPECT_EQ(received.infos[1], nullptr);
  CFRelease(info);
}

TEST_F(NotificationUserInfoTest, EmptyUserInfoArrivesAsNull) {
  CFDictionaryRef empty = dictionary({});
  post(CFSTR("empty"), empty);
  CFRelease(empty);
  ASSERT_TRUE(drain());
  ASSERT_EQ(received.objects, (std::vector<std::string>{"empty", "marker"}));
  EXPECT_EQ(received.infos[0], nullptr);
}

TEST_F(NotificationUserInfoTest, PostWithAValueThatCannotTravelIsNotSent) {
  CFDictionaryRef withDate = dictionary({{CFSTR("ok"), integer(1)},
                                         {CFSTR("when"), CFDateCreate(nullptr, 0)}});
  post(CFSTR("date"), withDate);
  CFRelease(withDate);

  CFMutableDictionaryRef numberKey = CFDictionaryCreateMutable(
      nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
  CFNumberRef one = integer(1);
  CFDictionarySetValue(numberKey, one, CFSTR("v"));
  post(CFSTR("number key"), numberKey);
  CFRelease(one);

  UniChar withNul[] = {'a', 0, 'b'};
  CFStringRef nul = CFStringCreateWithCharacters(nullptr, withNul, 3);
  CFDictionaryRef nulValue = dictionary({{CFSTR("s"), nul}});
  post(CFSTR("nul"), nulValue);
  CFRelease(nulValue);

  // A dictionary that holds itself ends at the depth limit, not in a crash.
  CFMutableDictionaryRef loop = CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                                          &kCFTypeDictionaryValueCallBacks);
  CFDictionarySetValue(loop, CFSTR("self"), loop);
  post(CFSTR("cycle"), loop);
  CFDictionaryRemoveAllValues(loop);
  CFRelease(loop);
  CFRelease(numberKey);

  ASSERT_TRUE(drain());
  EXPECT_EQ(received.objects, std::vector<std::string>{"marker"});
}

TEST_F(NotificationUserInfoTest, NamesAndObjectsWithNulAreNotSent) {
  UniChar withNul[] = {'i', 'n', 'f', 'o', 0, 'x'};
  CFStringRef name = CFStringCreateWithCharacters(nullptr, withNul, 6);
  CFStringRef object = CFStringCreateWithCharacters(nullptr, withNul, 6);
  // Cut at the NUL, these would arrive as "info": they must not go at all.
  CFNotificationCenterPostNotification(center, name, CFSTR("nul name"), nullptr, true);
  CFNotificationCenterPostNotification(center, CFSTR("info"), object, nullptr, true);
  CFRelease(name);
  CFRelease(object);
  ASSERT_TRUE(drain());
  EXPECT_EQ(received.objects, std::vector<std::string>{"marker"});
}

TEST_F(NotificationUserInfoTest, PostsOfAnotherProgramAreRead) {
  int out = -1;
  std::vector<std::string> gdbus = {
      "gdbus", "emit", "--session", "--object-path", "/com/quillworks/DistributedNotification",
      "--signal", "com.quillworks.DistributedNotification.Posted", "'info'", "'gdbus'", "false",
      "{'i32': <int32 -7>, 'u8': <byte 200>, 'u64': <uint64 42>,"
      " 'huge': <uint64 18446744073709551615>, 'path': <objectpath '/a/b'>,"
      " 'ints': <[1, 2]>, 'map': <{'k': 'v'}>, 'pair': <(1, 'x')>, 'bytes': <b'hi'>,"
      " 'double': <0.5>}"};
  pid_t pid = quillmate::testing::spawnWithOutput(gdbus, out, /*quiet=*/true);
  ASSERT_GT(pid, 0);
  int status = 0;
  waitpid(pid, &status, 0);
  close(out);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "gdbus emit failed";

  // A signal with our member but another body is ignored.
  pid = quillmate::testing::spawnWithOutput(
      {"gdbus", "emit", "--session", "--object-path", "/com/quillworks/DistributedNotification",
       "--signal", "com.quillworks.DistributedNotification.Posted", "'info'", "'bad'"},
      out, true);
  waitpid(pid, &status, 0);
  close(out);

  ASSERT_TRUE(drain());
  ASSERT_EQ(received.objects, (std::vector<std::string>{"gdbus", "marker"}));
  CFDictionaryRef info = received.infos[0];
  ASSERT_NE(info, nullptr);

  const UInt8 hi[] = {'h', 'i', 0};  // GVariant byte strings carry their NUL
  CFNumberRef i32 = integer(-7), u8 = integer(200), u64 = integer(42), one = integer(1),
              two = integer(2);
  const void* ints[] = {one, two};
  CFArrayRef intArray = CFArrayCreate(nullptr, ints, 2, &kCFTypeArrayCallBacks);
  CFDictionaryRef map = dictionary({{CFSTR("k"), string("v")}});
  CFDictionaryRef expected = dictionary({
      {CFSTR("i32"), i32},
      {CFSTR("u8"), u8},
      {CFSTR("u64"), u64},
      {CFSTR("path"), string("/a/b")},
      {CFSTR("ints"), intArray},
      {CFSTR("map"), map},
      {CFSTR("bytes"), CFDataCreate(nullptr, hi, sizeof hi)},
      {CFSTR("double"), real(0.5)},
  });
  CFRelease(one);
  CFRelease(two);
  // Values with no CF form (a structure, an integer above the 64-bit signed
  // range) are left out; everything else is there.
  EXPECT_TRUE(CFEqual(info, expected));
  EXPECT_FALSE(CFDictionaryContainsKey(info, CFSTR("pair")));
  EXPECT_FALSE(CFDictionaryContainsKey(info, CFSTR("huge")));
  CFRelease(expected);
}

}  // namespace
