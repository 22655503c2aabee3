// The distributed center within one process, on a private bus: the bus hands
// a process its own posts back, so delivery, filtering, suspension and the run
// loop's contract can be checked here.  A test that must show something did
// NOT arrive posts a marker after it and runs until the marker: the bus keeps
// one sender's posts in order, so anything earlier has been routed by then.
#include <CoreFoundation/CoreFoundation.h>

#include "tests/platform/cf/notify/PrivateBus.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using quillmate::testing::PrivateBus;

std::string text(CFStringRef s) {
  if (!s) return "-";
  char buffer[2048];
  return CFStringGetCString(s, buffer, sizeof buffer, kCFStringEncodingUTF8) ? buffer : "?";
}

// An observer that records what it receives, as "name/object".
struct Recorder {
  std::vector<std::string> seen;
  std::vector<std::thread::id> threads;
  std::vector<bool> hadUserInfo;
  CFNotificationCenterRef centerSeen = nullptr;

  static void callback(CFNotificationCenterRef center, void* observer, CFNotificationName name,
                       const void* object, CFDictionaryRef userInfo) {
    auto* self = static_cast<Recorder*>(observer);
    self->centerSeen = center;
    self->seen.push_back(text(name) + "/" + text(static_cast<CFStringRef>(object)));
    self->threads.push_back(std::this_thread::get_id());
    self->hadUserInfo.push_back(userInfo != nullptr);
  }

  void observe(CFStringRef name, CFStringRef object = nullptr,
               CFNotificationSuspensionBehavior behavior =
                   CFNotificationSuspensionBehaviorDeliverImmediately) {
    CFNotificationCenterAddObserver(CFNotificationCenterGetDistributedCenter(), this, callback,
                                    name, object, behavior);
  }
};

void post(CFStringRef name, CFStringRef object = nullptr, bool immediate = false) {
  CFNotificationCenterPostNotification(CFNotificationCenterGetDistributedCenter(), name, object,
                                       nullptr, immediate);
}

// Runs this thread's loop until `done` holds; false if it never does (the
// bound only keeps a broken build from hanging the suite).
template <typename Done>
bool runUntil(Done done) {
  auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done()) {
    if (std::chrono::steady_clock::now() > giveUp) return false;
    CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.1, true);
  }
  return true;
}

// Posts a marker and runs until `marker` has seen it.
bool drain(Recorder& marker) {
  std::size_t before = marker.seen.size();
  post(CFSTR("test.marker"), nullptr, true);
  return runUntil([&] { return marker.seen.size() > before; });
}

class NotificationCenterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(bus.running()) << "dbus-daemon did not start";
    marker.observe(CFSTR("test.marker"));
  }
  void TearDown() override {
    CFNotificationCenterSetSuspended(CFNotificationCenterGetDistributedCenter(), false);
  }

  PrivateBus bus;
  Recorder marker;
};

TEST_F(NotificationCenterTest, DeliversNameAndObjectWithoutUserInfoOnTheRunLoop) {
  Recorder r;
  r.observe(CFSTR("Preferences Changed"));
  post(CFSTR("Preferences Changed"), CFSTR("com.quillworks.preference.quillmate"), true);
  EXPECT_TRUE(r.seen.empty()) << "callbacks run only inside the run loop";
  ASSERT_TRUE(runUntil([&] { return !r.seen.empty(); }));
  EXPECT_EQ(r.seen, std::vector<std::string>{"Preferences Changed/com.quillworks.preference.quillmate"});
  EXPECT_EQ(r.hadUserInfo, std::vector<bool>{false});
  EXPECT_EQ(r.centerSeen, CFNotificationCenterGetDistributedCenter());
  EXPECT_EQ(r.threads.front(), std::this_thread::get_id());
}

TEST_F(NotificationCenterTest, ObserversSeeOnlyTheirNameAndObject) {
  Recorder byName, byNameAndObject, everything, quoted;
  byName.observe(CFSTR("n1"));
  byNameAndObject.observe(CFSTR("n1"), CFSTR("o1"));
  everything.observe(nullptr);
  // Apostrophes, backslashes and commas must not break the bus match rule.
  quoted.observe(CFSTR("it's a \\ name, 'quoted'"), CFSTR("o'1"));

  post(CFSTR("n1"), CFSTR("o1"));
  post(CFSTR("n1"), CFSTR("o2"));
  post(CFSTR("n1"));
  post(CFSTR("n2"), CFSTR("o1"));
  post(CFSTR("it's a \\ name, 'quoted'"), CFSTR("o'1"));
  post(CFSTR("it's a \\ name, 'quoted'"), CFSTR("o1"));
  ASSERT_TRUE(drain(marker));

  EXPECT_EQ(byName.seen, (std::vector<std::string>{"n1/o1", "n1/o2", "n1/-"}));
  EXPECT_EQ(byNameAndObject.seen, std::vector<std::string>{"n1/o1"});
  EXPECT_EQ(quoted.seen, std::vector<std::string>{"it's a \\ name, 'quoted'/o'1"});
  EXPECT_EQ(everything.seen.size(), 7u);  // the marker too
  EXPECT_EQ(everything.seen.back(), "test.marker/-");
}

// A name too long for a bus match rule is still observed (through the
// catch-all rule), and still filtered.
TEST_F(NotificationCenterTest, NamesTooLongForAMatchRuleStillWork) {
  std::string longName(1500, 'n'), otherName(1500, 'n');
  otherName.back() = 'x';
  CFStringRef name = CFStringCreateWithCString(nullptr, longName.c_str(), kCFStringEncodingUTF8);
  CFStringRef other = CFStringCreateWithCString(nullptr, otherName.c_str(), kCFStringEncodingUTF8);
  Recorder r;
  r.observe(name);
  post(other);
  post(name, CFSTR("long"));
  ASSERT_TRUE(drain(marker));
  EXPECT_EQ(r.seen, std::vector<std::string>{longName + "/long"});
  CFRelease(name);
  CFRelease(other);
}

TEST_F(NotificationCenterTest, EmptyObjectIsTheSameAsNull) {
  Recorder r, any;
  r.observe(CFSTR("n"), CFSTR(""));
  any.observe(CFSTR("n"), CFSTR("x"));
  post(CFSTR("n"), CFSTR(""));
  post(CFSTR("n"), CFSTR("x"));
  ASSERT_TRUE(drain(marker));
  EXPECT_EQ(r.seen, (std::vector<std::string>{"n/-", "n/x"}));
  EXPECT_EQ(any.seen, std::vector<std::string>{"n/x"});
}

TEST_F(NotificationCenterTest, AddingTheSameObserverTwiceDeliversOnce) {
  Recorder r;
  r.observe(CFSTR("n"));
  r.observe(CFSTR("n"));
  post(CFSTR("n"));
  ASSERT_TRUE(drain(marker));
  EXPECT_EQ(r.seen.size(), 1u);
}

TEST_F(NotificationCenterTest, RemovalMatchesNameAndObject) {
  CFNotificationCenterRef center = CFNotificationCenterGetDistributedCenter();
  Recorder r;
  r.observe(CFSTR("a"));
  r.observe(CFSTR("b"));
  r.observe(CFSTR("c"), CFSTR("o"));

  CFNotificationCenterRemoveObserver(center, &r, CFSTR("a"), nullptr);
  // Another object's registration is not touched by a removal naming one.
  CFNotificationCenterRemoveObserver(center, &r, nullptr, CFSTR("other"));
  post(CFSTR("a"));
  post(CFSTR("b"));
  post(CFSTR("c"), CFSTR("o"));
  ASSERT_TRUE(drain(marker));
  EXPECT_EQ(r.seen, (std::vector<std::string>{"b/-", "c/o"}));

  CFNotificationCenterRemoveEveryObserver(center, &r);
  post(CFSTR("b"));
  post(CFSTR("c"), CFSTR("o"));
  ASSERT_TRUE(drain(marker));
  EXPECT_EQ(r.seen.size(), 2u);
}

// An observer whose thread has not run its loop yet has the post queued; a
// removal in between must win.
TEST_F(NotificationCenterTest, QueuedPostsOfARemovedObserverAreNotDelivered) {
  Recorder onThread;
  std::mutex m;
  std::condition_variable cv;
  int stage = 0;
  CFRunLoopRunResult result = 0;
  auto waitFor = [&](int wanted) {
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return stage >= wanted; });
  };
  auto advance = [&] {
    std::lock_guard lock(m);
    ++stage;
    cv.notify_all();
  };
  std::thread worker([&] {
    onThread.observe(CFSTR("q"));
    Recorder keepAlive;  // keeps the loop from finishing at once
    keepAlive.observe(CFSTR("never posted"));
    advance();  // 1
    waitFor(2);
    result = CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false);
    CFNotificationCenterRemoveEveryObserver(CFNotificationCenterGetDistributedCenter(), &keepAlive);
  });
  waitFor(1);
  post(CFSTR("q"));
  ASSERT_TRUE(drain(marker));  // "q" now waits in the worker's queue
  CFNotificationCenterRemoveEveryObserver(CFNotificationCenterGetDistributedCenter(), &onThread);
  advance();  // 2
  worker.join();
  EXPECT_EQ(result, kCFRunLoopRunTimedOut);
  EXPECT_TRUE(onThread.seen.empty());
}

TEST_F(NotificationCenterTest, SuspensionFollowsEachObserversBehaviour) {
  CFNotificationCenterRef center = CFNotificationCenterGetDistributedCenter();
  Recorder drop, coalesce, hold, immediate;
  drop.observe(CFSTR("n"), nullptr, CFNotificationSuspensionBehaviorDrop);
  coalesce.observe(CFSTR("n"), nullptr, CFNotificationSuspensionBehaviorCoalesce);
  hold.observe(CFSTR("n"), nullptr, CFNotificationSuspensionBehaviorHold);
  immediate.observe(CFSTR("n"), nullptr, CFNotificationSuspensionBehaviorDeliverImmediately);

  CFNotificationCenterSetSuspended(center, true);
  EXPECT_TRUE(CFNotificationCenterIsSuspended(center));
  post(CFSTR("n"), CFSTR("a"));
  post(CFSTR("n"), CFSTR("b"));
  post(CFSTR("n"), CFSTR("a"));
  post(CFSTR("n"), CFSTR("urgent"), true);
  ASSERT_TRUE(drain(marker));  // the marker is posted to be delivered immediately

  EXPECT_EQ(immediate.seen, (std::vector<std::string>{"n/a", "n/b", "n/a", "n/urgent"}));
  EXPECT_EQ(drop.seen, std::vector<std::string>{"n/urgent"});
  EXPECT_EQ(coalesce.seen, std::vector<std::string>{"n/urgent"});
  EXPECT_EQ(hold.seen, std::vector<std::string>{"n/urgent"});

  CFNotificationCenterSetSuspended(center, false);
  EXPECT_FALSE(CFNotificationCenterIsSuspended(center));
  ASSERT_TRUE(drain(marker));
  EXPECT_EQ(drop.seen, std::vector<std::string>{"n/urgent"});
  // Only the last of each name and object is kept, at the place of the last.
  EXPECT_EQ(coalesce.seen, (std::vector<std::string>{"n/urgent", "n/b", "n/a"}));
  EXPECT_EQ(hold.seen, (std::vector<std::string>{"n/urgent", "n/a", "n/b", "n/a"}));
  EXPECT_EQ(immediate.seen.size(), 4u);
}

TEST_F(NotificationCenterTest, PostOptionsCarryDeliverImmediately) {
  CFNotificationCenterRef center = CFNotificationCenterGetDistributedCenter();
  Recorder drop;
  drop.observe(CFSTR("n"), nullptr, CFNotificationSuspensionBehaviorDrop);
  CFNotificationCenterSetSuspended(center, true);
  CFNotificationCenterPostNotificationWithOptions(center, CFSTR("n"), CFSTR("all sessions"),
                                                  nullptr, kCFNotificationPostToAllSessions);
  CFNotificationCenterPostNotificationWithOptions(
      center, CFSTR("n"), CFSTR("now"), nullptr,
      kCFNotificationDeliverImmediately | kCFNotificationPostToAllSessions);
  ASSERT_TRUE(drain(marker));
  EXPECT_EQ(drop.seen, std::vector<std::string>{"n/now"});
}

TEST_F(NotificationCenterTest, PostsThatArrivedBeforeSuspensionAreDelivered) {
  CFNotificationCenterRef center = CFNotificationCenterGetDistributedCenter();
  Recorder drop;
  drop.observe(CFSTR("n"), nullptr, CFNotificationSuspensionBehaviorDrop);
  post(CFSTR("n"), CFSTR("before"));
  ASSERT_TRUE(drain(marker));
  EXPECT_EQ(drop.seen, std::vector<std::string>{"n/before"});

  CFNotificationCenterSetSuspended(center, true);
  post(CFSTR("n"), CFSTR("during"));
  ASSERT_TRUE(drain(marker));
  CFNotificationCenterSetSuspended(center, false);
  post(CFSTR("n"), CFSTR("after"));
  ASSERT_TRUE(drain(marker));
  EXPECT_EQ(drop.seen, (std::vector<std::string>{"n/before", "n/after"}));
}

TEST_F(NotificationCenterTest, RemovingASuspendedObserverForgetsWhatItHeld) {
  CFNotificationCenterRef center = CFNotificationCenterGetDistributedCenter();
  Recorder hold;
  hold.observe(CFSTR("n"), nullptr, CFNotificationSuspensionBehaviorHold);
  CFNotificationCenterSetSuspended(center, true);
  post(CFSTR("n"));
  ASSERT_TRUE(drain(marker));
  CFNotificationCenterRemoveEveryObserver(center, &hold);
  CFNotificationCenterSetSuspended(center, false);
  ASSERT_TRUE(drain(marker));
  EXPECT_TRUE(hold.seen.empty());
}

TEST_F(NotificationCenterTest, DeliveryHappensOnTheObserversOwnThread) {
  Recorder onThread;
  std::mutex m;
  std::condition_variable cv;
  bool added = false, release = false;
  std::thread::id threadID;
  CFRunLoopRunResult threadResult = 0;

  std::thread worker([&] {
    threadID = std::this_thread::get_id();
    onThread.observe(CFSTR("t"));
    {
      std::unique_lock lock(m);
      added = true;
      cv.notify_all();
      cv.wait(lock, [&] { return release; });
    }
    threadResult = CFRunLoopRunInMode(kCFRunLoopDefaultMode, 20, true);
  });
  {
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return added; });
  }
  post(CFSTR("t"));
  ASSERT_TRUE(drain(marker));  // this thread's loop ran after "t" arrived
  EXPECT_TRUE(onThread.seen.empty()) << "delivered on a thread that did not add the observer";
  {
    std::lock_guard lock(m);
    release = true;
    cv.notify_all();
  }
  worker.join();
  EXPECT_EQ(threadResult, kCFRunLoopRunHandledSource);
  ASSERT_EQ(onThread.seen, std::vector<std::string>{"t/-"});
  EXPECT_EQ(onThread.threads.front(), threadID);
}

TEST_F(NotificationCenterTest, PostsFromManyThreadsAllArrive) {
  Recorder r;
  r.observe(CFSTR("many"));
  std::vector<std::thread> posters;
  for (int t = 0; t < 4; ++t)
    posters.emplace_back([] {
      for (int i = 0; i < 25; ++i) post(CFSTR("many"));
    });
  for (std::thread& t : posters) t.join();
  ASSERT_TRUE(runUntil([&] { return r.seen.size() >= 100; }));
  ASSERT_TRUE(drain(marker));
  EXPECT_EQ(r.seen.size(), 100u);
}

// A callback that removes itself and posts must neither deadlock nor be
// called again.
struct SelfRemover {
  int calls = 0;
  static void callback(CFNotificationCenterRef center, void* observer, CFNotificationName,
                       const void*, CFDictionaryRef) {
    auto* self = static_cast<SelfRemover*>(observer);
    ++self->calls;
    CFNotificationCenterRemoveEveryObserver(center, observer);
    CFNotificationCenterPostNotification(center, CFSTR("again"), nullptr, nullptr, true);
  }
};

TEST_F(NotificationCenterTest, CallbacksMayRemoveObserversAndPost) {
  SelfRemover remover;
  Recorder again;
  again.observe(CFSTR("again"));
  CFNotificationCenterAddObserver(CFNotificationCenterGetDistributedCenter(), &remover,
                                  SelfRemover::callback, CFSTR("again"), nullptr,
                                  CFNotificationSuspensionBehaviorHold);
  post(CFSTR("again"));
  ASSERT_TRUE(runUntil([&] { return again.seen.size() >= 2; }));
  ASSERT_TRUE(drain(marker));
  EXPECT_EQ(remover.calls, 1);
  EXPECT_EQ(again.seen.size(), 2u);
}

TEST_F(NotificationCenterTest, RunLoopResults) {
  EXPECT_EQ(CFRunLoopRunInMode(CFSTR("some other mode"), 0, false), kCFRunLoopRunFinished);
  EXPECT_EQ(CFRunLoopRunInMode(nullptr, 0, false), kCFRunLoopRunFinished);
  // The marker observer is this thread's: nothing pending, no time.
  EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false), kCFRunLoopRunTimedOut);
  EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, -5, true), kCFRunLoopRunTimedOut);

  CFRunLoopRef loop = CFRunLoopGetCurrent();
  EXPECT_EQ(CFGetTypeID(loop), CFRunLoopGetTypeID());
  EXPECT_EQ(CFRunLoopGetCurrent(), loop);
  // A stop made before the run starts is forgotten, so the other thread keeps
  // stopping until the long run has ended; only a stop can end it.
  std::atomic<bool> returned{false};
  std::thread stopper([&] {
    while (!returned) {
      CFRunLoopStop(loop);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  CFRunLoopRunResult result = CFRunLoopRunInMode(kCFRunLoopDefaultMode, 600, false);
  returned = true;
  stopper.join();
  EXPECT_EQ(result, kCFRunLoopRunStopped);

  CFNotificationCenterRemoveEveryObserver(CFNotificationCenterGetDistributedCenter(), &marker);
  EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 60, false), kCFRunLoopRunFinished)
      << "a thread without observers has nothing to wait for";
}

TEST_F(NotificationCenterTest, CenterIsOneImmortalObject) {
  CFNotificationCenterRef center = CFNotificationCenterGetDistributedCenter();
  EXPECT_EQ(center, CFNotificationCenterGetDistributedCenter());
  EXPECT_EQ(CFGetTypeID(center), CFNotificationCenterGetTypeID());
  EXPECT_NE(CFNotificationCenterGetTypeID(), CFRunLoopGetTypeID());
  CFRetain(center);
  CFRelease(center);
  CFRelease(center);
  EXPECT_EQ(CFGetRetainCount(center), kCFRetainCountImmortal);
}

TEST_F(NotificationCenterTest, BadArgumentsAreIgnored) {
  CFNotificationCenterRef center = CFNotificationCenterGetDistributedCenter();
  Recorder r;
  r.observe(nullptr);
  CFNotificationCenterPostNotification(nullptr, CFSTR("x"), nullptr, nullptr, true);
  CFNotificationCenterPostNotification(center, nullptr, nullptr, nullptr, true);
  // Objects of the distributed center are strings; a number is refused.
  SInt32 seven = 7;
  CFNumberRef number = CFNumberCreate(nullptr, kCFNumberSInt32Type, &seven);
  CFNotificationCenterPostNotification(center, CFSTR("x"), number, nullptr, true);
  CFNotificationCenterAddObserver(center, &r, nullptr, CFSTR("x"), nullptr, 1);
  CFNotificationCenterAddObserver(nullptr, &r, Recorder::callback, CFSTR("x"), nullptr, 1);
  CFNotificationCenterAddObserver(center, &r, Recorder::callback, CFSTR("x"), number, 1);
  CFRelease(number);
  // A name with no UTF-8 form (an unpaired surrogate) cannot travel.
  UniChar lone = 0xd800;
  CFStringRef bad = CFStringCreateWithCharacters(nullptr, &lone, 1);
  CFNotificationCenterPostNotification(center, bad, nullptr, nullptr, true);
  CFRelease(bad);
  CFNotificationCenterRemoveObserver(nullptr, &r, nullptr, nullptr);
  CFNotificationCenterSetSuspended(nullptr, true);
  EXPECT_FALSE(CFNotificationCenterIsSuspended(nullptr));
  EXPECT_FALSE(CFNotificationCenterIsSuspended(center));
  ASSERT_TRUE(drain(marker));
  EXPECT_EQ(r.seen, std::vector<std::string>{"test.marker/-"});
}

}  // namespace
