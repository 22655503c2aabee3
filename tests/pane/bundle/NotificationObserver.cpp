// A second process for the pane's tests: it watches the distributed center,
// posts to it, and prints the identifiers the pane is built with.
//
//   pane_observer ids             prints the application identifier and the
//                                 notification object identifier, one a line
//   pane_observer watch <stop>    prints "ready" once subscribed, then one line
//                                 per notification: name, object ("-" if
//                                 none) and "no-user-info" or "user-info",
//                                 tab-separated; exits after <stop>
//   pane_observer post <name>     posts <name> with no object
#include "pane/OptionStore.h"

#include <CoreFoundation/CFNotificationCenter.h>
#include <CoreFoundation/CFRunLoop.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

std::string text(const void *value)
{
  if (value == nullptr)
    return "-";
  char buffer[1024];
  if (!CFStringGetCString(static_cast<CFStringRef>(value), buffer, sizeof buffer,
                          kCFStringEncodingUTF8))
    return "?";
  return buffer;
}

CFStringRef makeString(const char *s)
{
  return CFStringCreateWithCString(nullptr, s, kCFStringEncodingUTF8);
}

struct Watch {
  std::string stopName;
  bool stopped = false;
};

void received(CFNotificationCenterRef, void *observer, CFNotificationName name,
              const void *object, CFDictionaryRef userInfo)
{
  auto *watch = static_cast<Watch *>(observer);
  std::printf("%s\t%s\t%s\n", text(name).c_str(), text(object).c_str(),
              userInfo == nullptr ? "no-user-info" : "user-info");
  std::fflush(stdout);
  if (text(name) == watch->stopName) {
    watch->stopped = true;
    CFRunLoopStop(CFRunLoopGetCurrent());
  }
}

int watch(const char *stopName)
{
  Watch state{stopName};
  CFNotificationCenterRef center = CFNotificationCenterGetDistributedCenter();
  CFNotificationCenterAddObserver(center, &state, received, nullptr, nullptr,
                                  CFNotificationSuspensionBehaviorDeliverImmediately);
  std::printf("ready\n");
  std::fflush(stdout);
  // A guard against a test that never posts its stop: give up after a while
  // instead of outliving it.
  for (int round = 0; round < 300 && !state.stopped; ++round)
    CFRunLoopRunInMode(kCFRunLoopDefaultMode, 1.0, false);
  return state.stopped ? 0 : 2;
}

int post(const char *name)
{
  CFStringRef cfName = makeString(name);
  CFNotificationCenterPostNotification(CFNotificationCenterGetDistributedCenter(), cfName,
                                       nullptr, nullptr, true);
  CFRelease(cfName);
  return 0;
}

} // namespace

int main(int argc, char **argv)
{
  if (argc == 2 && std::strcmp(argv[1], "ids") == 0) {
    std::printf("%s\n%s\n", text(kQuillmateApplicationID).c_str(),
                text(kQuillmateNotificationObject).c_str());
    return 0;
  }
  if (argc == 3 && std::strcmp(argv[1], "watch") == 0)
    return watch(argv[2]);
  if (argc == 3 && std::strcmp(argv[1], "post") == 0)
    return post(argv[2]);
  std::fprintf(stderr, "usage: %s ids | watch <stop-name> | post <name>\n", argv[0]);
  return 64;
}
