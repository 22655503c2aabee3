// The option store against the real preferences and a private session bus.
#include "pane/OptionStore.h"
#include "tests/platform/cf/PreferencesFixture.h"

#include <string>
#include <vector>

namespace {

std::string utf8(CFStringRef s) {
  char buffer[256];
  return CFStringGetCString(s, buffer, sizeof buffer, kCFStringEncodingUTF8) ? buffer : "?";
}

// Stores a value as another program would: straight into the domain.
void store(CFStringRef key, CFPropertyListRef value) {
  CFPreferencesSetAppValue(key, value, kQuillmateApplicationID);
  ASSERT_TRUE(CFPreferencesAppSynchronize(kQuillmateApplicationID));
}

// What a fresh process finds in the domain for key (a new reference).
CFPropertyListRef onDisk(CFStringRef key) {
  quillmate_cf::forgetPreferencesForTesting();
  return CFPreferencesCopyAppValue(key, kQuillmateApplicationID);
}

class OptionStoreTest : public PreferencesFolder {
protected:
  OptionStore store_{kQuillmateApplicationID};
};

TEST(OptionStoreIdentifiers, FollowTheSharedStructure) {
  EXPECT_EQ(utf8(kQuillmateApplicationID), "com.quillworks.quillmate");
  EXPECT_EQ(utf8(kQuillmateNotificationObject), "com.quillworks.preference.quillmate");
  EXPECT_EQ(utf8(kQuillmatePreferencesChangedNotification), "Preferences Changed");
  EXPECT_EQ(utf8(kIncludeLineFeedKey), "IncludeLineFeed");
  EXPECT_EQ(utf8(kOpenFileKey), "OpenFile");
}

TEST_F(OptionStoreTest, AnAbsentKeyReadsOnAndStaysAbsent) {
  EXPECT_TRUE(store_.readOption(kIncludeLineFeedKey));
  EXPECT_TRUE(store_.readOption(kOpenFileKey));
  EXPECT_EQ(CFPreferencesCopyKeyList(kQuillmateApplicationID, kCFPreferencesCurrentUser,
                                     kCFPreferencesAnyHost),
            nullptr);
  EXPECT_TRUE(CFPreferencesAppSynchronize(kQuillmateApplicationID));
  EXPECT_FALSE(exists(path("com.quillworks.quillmate.plist")));
}

TEST_F(OptionStoreTest, BooleansReadAsStored) {
  store(kIncludeLineFeedKey, kCFBooleanFalse);
  store(kOpenFileKey, kCFBooleanTrue);
  quillmate_cf::forgetPreferencesForTesting();
  EXPECT_FALSE(store_.readOption(kIncludeLineFeedKey));
  EXPECT_TRUE(store_.readOption(kOpenFileKey));
}

TEST_F(OptionStoreTest, OtherTypesReadAsOnAndSurviveUntilTheNextWrite) {
  SInt32 zero = 0;
  CFNumberRef number = CFNumberCreate(nullptr, kCFNumberSInt32Type, &zero);
  CFDateRef date = CFDateCreate(nullptr, 0);
  const CFTypeRef others[] = {number, CFSTR("NO"), date};
  for (CFTypeRef other : others) {
    store(kOpenFileKey, other);
    EXPECT_TRUE(store_.readOption(kOpenFileKey));
    CFPropertyListRef kept = onDisk(kOpenFileKey);
    EXPECT_TRUE(CFEqual(kept, other)) << "reading must not replace the value";
    CFRelease(kept);
  }
  store_.writeOption(kOpenFileKey, false);
  CFPropertyListRef replaced = onDisk(kOpenFileKey);
  EXPECT_EQ(replaced, kCFBooleanFalse);
  CFRelease(replaced);
  CFRelease(number);
  CFRelease(date);
}

TEST_F(OptionStoreTest, WritingOffStoresFalseOnDiskBeforeReturning) {
  store_.writeOption(kIncludeLineFeedKey, false);
  // Read by a fresh process, without any further synchronise from this one.
  CFPropertyListRef stored = onDisk(kIncludeLineFeedKey);
  ASSERT_NE(stored, nullptr) << "turning off must store a value, not remove the key";
  EXPECT_EQ(CFGetTypeID(stored), CFBooleanGetTypeID());
  EXPECT_EQ(stored, kCFBooleanFalse);
  CFRelease(stored);
  EXPECT_FALSE(store_.readOption(kIncludeLineFeedKey));
  store_.writeOption(kIncludeLineFeedKey, true);
  EXPECT_TRUE(store_.readOption(kIncludeLineFeedKey));
  EXPECT_EQ(onDisk(kOpenFileKey), nullptr) << "the other key stays absent";
}

TEST_F(OptionStoreTest, AFailedSynchroniseIsNotReported) {
  put(path("blocker"), "x");
  setenv("QUILLMATE_PREFERENCES_DIR", path("blocker/prefs").c_str(), 1);
  store_.writeOption(kOpenFileKey, false); // must simply return
  store_.announceChange();
  EXPECT_EQ(slurp(path("blocker")), "x");
}

// Notifications seen by an observer in this process.
struct Received {
  std::string name, object;
  bool userInfo;
};
std::vector<Received> received;

void observe(CFNotificationCenterRef, void *, CFNotificationName name, const void *object,
             CFDictionaryRef userInfo) {
  received.push_back({utf8(name), object ? utf8(static_cast<CFStringRef>(object)) : "",
                      userInfo != nullptr});
}

class OptionStoreAnnounce : public OptionStoreTest {
protected:
  void SetUp() override {
    OptionStoreTest::SetUp();
    received.clear();
    CFNotificationCenterAddObserver(CFNotificationCenterGetDistributedCenter(), this, observe,
                                    kQuillmatePreferencesChangedNotification, nullptr,
                                    CFNotificationSuspensionBehaviorDeliverImmediately);
  }
  void TearDown() override {
    CFNotificationCenterRemoveEveryObserver(CFNotificationCenterGetDistributedCenter(), this);
    OptionStoreTest::TearDown();
  }
  // Runs the loop until one notification came or the generous limit passed,
  // then a little longer, to catch any second one.
  void deliver() {
    CFRunLoopRunInMode(kCFRunLoopDefaultMode, 5.0, true);
    CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.3, false);
  }
};

TEST_F(OptionStoreAnnounce, LeavingWithoutClicksSynchronisesAndPostsOnce) {
  // A set made in this process but not yet synchronised.
  CFPreferencesSetAppValue(kOpenFileKey, kCFBooleanFalse, kQuillmateApplicationID);
  store_.announceChange();
  CFPropertyListRef stored = onDisk(kOpenFileKey);
  EXPECT_EQ(stored, kCFBooleanFalse) << "announceChange synchronises first";
  CFRelease(stored);
  deliver();
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].name, "Preferences Changed");
  EXPECT_EQ(received[0].object, "com.quillworks.preference.quillmate");
  EXPECT_FALSE(received[0].userInfo);
}

TEST_F(OptionStoreAnnounce, ClicksWriteEachTimeButOnlyLeavingPosts) {
  store_.writeOption(kIncludeLineFeedKey, false);
  store_.writeOption(kIncludeLineFeedKey, true);
  store_.writeOption(kOpenFileKey, false);
  CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.3, false);
  EXPECT_TRUE(received.empty()) << "a click must not post";
  store_.announceChange();
  deliver();
  EXPECT_EQ(received.size(), 1u);
  EXPECT_TRUE(store_.readOption(kIncludeLineFeedKey));
  EXPECT_FALSE(store_.readOption(kOpenFileKey));
}

TEST_F(OptionStoreAnnounce, ASuspendedObserverStillGetsTheAnnouncement) {
  CFNotificationCenterRef center = CFNotificationCenterGetDistributedCenter();
  CFNotificationCenterRemoveEveryObserver(center, this);
  CFNotificationCenterAddObserver(center, this, observe, kQuillmatePreferencesChangedNotification,
                                  nullptr, CFNotificationSuspensionBehaviorDrop);
  CFNotificationCenterSetSuspended(center, true);
  store_.announceChange();
  deliver();
  CFNotificationCenterSetSuspended(center, false);
  EXPECT_EQ(received.size(), 1u) << "the post is delivered immediately";
}

} // namespace
