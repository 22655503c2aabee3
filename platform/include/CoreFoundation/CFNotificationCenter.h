// The distributed notification center: notifications posted by one process
// reach observers in every process of the user's session, this one included.
//
// What a caller may rely on:
// - Names and objects are strings.  An object is a CFStringRef or null; an
//   empty string object is the same as null.  Observers filter by name (null:
//   every name) and by object (null: every object).  A name or object that
//   cannot travel (one holding U+0000 or an unpaired surrogate, or an object
//   that is not a string) makes the post, or the observer, do nothing: it is
//   never cut short into another name.
// - A post goes out on the session bus at once and never blocks for long: with
//   no session bus (no address in the environment, nothing listening, or a
//   daemon that does not answer within a second) it does nothing and prints
//   nothing.  The post has no result.
// - Callbacks run only inside CFRunLoopRunInMode (CFRunLoop.h), on the thread
//   that added the observer, in the order the bus delivered the posts.
// - Every call may come from any thread.  A callback may add and remove
//   observers and post.
// - User information travels when each value is a string, boolean, number,
//   data, array or dictionary with string keys (nested up to 16 deep); a post
//   whose user information holds anything else (a date, or a string with
//   U+0000) is not sent, so no listener gets part of it.  Posts from other
//   programs may use any D-Bus type: all integer types arrive as CFNumber,
//   object paths as CFString, and values with no CF form (structures,
//   unsigned integers above 2^63 - 1) are left out.  A post with an empty
//   dictionary arrives with null user information.
//
// The wire format, for listeners in other languages: each post is a signal on
// the session bus with path /com/quillworks/DistributedNotification, interface
// com.quillworks.DistributedNotification, member Posted, and the body
// (s name, s object, b deliverImmediately, a{sv} userInfo); a null object is
// the empty string.
#ifndef QUILLMATE_CFNOTIFICATIONCENTER_H
#define QUILLMATE_CFNOTIFICATIONCENTER_H

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFDictionary.h>
#include <CoreFoundation/CFString.h>

extern "C" {

typedef struct __CFNotificationCenter *CFNotificationCenterRef;
typedef CFStringRef CFNotificationName;

// `name`, `object` and `userInfo` belong to the center and stay valid only for
// the duration of the call; retain them to keep them.
typedef void (*CFNotificationCallback)(CFNotificationCenterRef center, void *observer,
                                       CFNotificationName name, const void *object,
                                       CFDictionaryRef userInfo);

// What happens to a notification that arrives while this process has
// suspended delivery (see CFNotificationCenterSetSuspended).  A post made with
// deliverImmediately set is delivered at once whatever the behaviour.
typedef CFIndex CFNotificationSuspensionBehavior;
enum {
  // Discarded.
  CFNotificationSuspensionBehaviorDrop = 1,
  // Kept until resumed, but only the last one of each name and object.
  CFNotificationSuspensionBehaviorCoalesce = 2,
  // Every one kept until resumed, in order.
  CFNotificationSuspensionBehaviorHold = 3,
  // Delivered as if delivery were not suspended.
  CFNotificationSuspensionBehaviorDeliverImmediately = 4
};

enum {
  kCFNotificationDeliverImmediately = (1UL << 0),
  kCFNotificationPostToAllSessions = (1UL << 1)
};

CFTypeID CFNotificationCenterGetTypeID(void);

// The process's distributed center.  It lives as long as the process;
// retaining and releasing it does nothing.
CFNotificationCenterRef CFNotificationCenterGetDistributedCenter(void);

// Registers `callBack` for posts of `name` (null: all names) with `object`
// (null: any object), delivered on the calling thread's run loop.  Adding the
// same observer, name and object again replaces the callback and behaviour.
// When the call returns, the bus has taken the subscription: any post made
// after it reaches the observer.  An unknown behaviour counts as Hold.
void CFNotificationCenterAddObserver(CFNotificationCenterRef center, const void *observer,
                                     CFNotificationCallback callBack, CFStringRef name,
                                     const void *object,
                                     CFNotificationSuspensionBehavior suspensionBehavior);

// Removes the observer's registrations that match `name` and `object` (null
// matches every name or object), with whatever they had pending.
void CFNotificationCenterRemoveObserver(CFNotificationCenterRef center, const void *observer,
                                        CFNotificationName name, const void *object);
void CFNotificationCenterRemoveEveryObserver(CFNotificationCenterRef center,
                                             const void *observer);

// Posts `name` with `object` and `userInfo` (both may be null) to every
// observer of the session.  With deliverImmediately, observers in processes
// that have suspended delivery receive it at once too.
void CFNotificationCenterPostNotification(CFNotificationCenterRef center,
                                          CFNotificationName name, const void *object,
                                          CFDictionaryRef userInfo, Boolean deliverImmediately);
// As above; `options` may hold kCFNotificationDeliverImmediately.
// kCFNotificationPostToAllSessions is accepted and ignored (there is one
// session bus).
void CFNotificationCenterPostNotificationWithOptions(CFNotificationCenterRef center,
                                                     CFNotificationName name,
                                                     const void *object,
                                                     CFDictionaryRef userInfo,
                                                     CFOptionFlags options);

// Our extension: suspends (true) or resumes (false) delivery to this process's
// observers, as a process does when it goes to the background.  While
// suspended, each observer's behaviour decides what becomes of arriving posts;
// resuming queues what was kept for delivery by the run loops.
void CFNotificationCenterSetSuspended(CFNotificationCenterRef center, Boolean suspended);
Boolean CFNotificationCenterIsSuspended(CFNotificationCenterRef center);

} // extern "C"

#endif
