// Run loops: where a thread waits for, and handles, what its sources deliver.
//
// Each thread has one run loop, made when first asked for, living as long as
// the thread.  Its only source today is the distributed notification center:
// running the loop delivers the notifications pending for observers that the
// thread added.
#ifndef QUILLMATE_CFRUNLOOP_H
#define QUILLMATE_CFRUNLOOP_H

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFDate.h>
#include <CoreFoundation/CFString.h>

extern "C" {

typedef struct __CFRunLoop *CFRunLoopRef;

// Why CFRunLoopRunInMode returned.
typedef SInt32 CFRunLoopRunResult;
enum {
  // The mode has no sources: nothing could ever be handled.
  kCFRunLoopRunFinished = 1,
  // CFRunLoopStop was called for this loop.
  kCFRunLoopRunStopped = 2,
  // The time ran out.
  kCFRunLoopRunTimedOut = 3,
  // Something was handled and returnAfterSourceHandled was set.
  kCFRunLoopRunHandledSource = 4
};

// The mode every source is scheduled in.
extern const CFStringRef kCFRunLoopDefaultMode;
// The pseudo-mode naming the set of common modes; it cannot be run.
extern const CFStringRef kCFRunLoopCommonModes;

CFTypeID CFRunLoopGetTypeID(void);
// The calling thread's run loop.  Retaining and releasing it does nothing.
CFRunLoopRef CFRunLoopGetCurrent(void);

// Runs the calling thread's loop in `mode` for at most `seconds` (0: handle
// what is ready, without waiting).  Returns kCFRunLoopRunFinished at once for
// any mode but kCFRunLoopDefaultMode, and when the thread has no observers
// and nothing pending.  Otherwise delivers pending notifications as they come
// and returns kCFRunLoopRunHandledSource after the first batch when
// returnAfterSourceHandled is set, kCFRunLoopRunStopped after CFRunLoopStop,
// or kCFRunLoopRunTimedOut when the time is up.  May be called from a
// callback (the inner run delivers what is pending then).
CFRunLoopRunResult CFRunLoopRunInMode(CFStringRef mode, CFTimeInterval seconds,
                                      Boolean returnAfterSourceHandled);

// Makes the loop's current run return kCFRunLoopRunStopped; a stop while the
// loop is not running is forgotten.  Any thread may stop any loop.
void CFRunLoopStop(CFRunLoopRef loop);
// Makes a waiting loop look at its sources again.
void CFRunLoopWakeUp(CFRunLoopRef loop);

} // extern "C"

#endif
