// What the run loop and the notification center share: the run loop object,
// the deliveries queued on it, and the center's side of a run.
#ifndef QUILLMATE_PLATFORM_CF_NOTIFY_RUNLOOPINTERNAL_H
#define QUILLMATE_PLATFORM_CF_NOTIFY_RUNLOOPINTERNAL_H

#include <CoreFoundation/CFNotificationCenter.h>
#include <CoreFoundation/CFRunLoop.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

namespace quillmate::notify {

// One received post, shared by every observer it is queued for.  Owns its CF
// objects; the name and object are also kept as UTF-8 for comparisons.
struct Note {
  std::string nameText;
  std::string objectText;  // empty for a null object
  CFStringRef name = nullptr;
  CFStringRef object = nullptr;
  CFDictionaryRef userInfo = nullptr;
  bool deliverImmediately = false;

  Note() = default;
  Note(const Note&) = delete;
  Note& operator=(const Note&) = delete;
  ~Note();
};

// A post waiting to be handed to one registration's callback.
struct Delivery {
  std::uint64_t registration = 0;
  std::shared_ptr<const Note> note;
};

}  // namespace quillmate::notify

struct __CFRunLoop {
  __CFRuntimeBase _base;
  // An eventfd that makes a waiting run return to its sources; -1 when the
  // system had none to give (the run then waits in short steps).
  int wakeFd = -1;
  std::atomic<bool> stopRequested{false};
  // Guarded by the notification center's lock.
  std::deque<quillmate::notify::Delivery> ready;

  __CFRunLoop();
  ~__CFRunLoop();
  __CFRunLoop(const __CFRunLoop&) = delete;
  __CFRunLoop& operator=(const __CFRunLoop&) = delete;
  void wake();
};

namespace quillmate::notify {

// The calling thread's loop.  Observers hold it weakly: a thread that ends
// takes its loop, and whatever was queued on it, along.
std::shared_ptr<__CFRunLoop> currentRunLoop();

// The center's side of a run, called by CFRunLoopRunInMode on the loop's own
// thread.

// True while the loop has deliveries queued or observers registered.
bool hasWork(__CFRunLoop& loop);
// Hands every queued delivery to its callback, outside the center's lock;
// returns how many callbacks ran.
std::size_t deliverReady(__CFRunLoop& loop);
// Reads what the bus has received.  Returns true when deliveries are ready;
// otherwise fills what to wait on before asking again.
struct BusWait {
  int fd = -1;
  short events = 0;
  std::uint64_t deadlineUsec = UINT64_MAX;  // CLOCK_MONOTONIC
};
bool pumpOrPrepareWait(__CFRunLoop& loop, BusWait& wait);

}  // namespace quillmate::notify

#endif
