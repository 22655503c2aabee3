// The distributed notification center: the registrations of this process's
// observers, suspension, and the routing of received posts to the run loops
// of the observers' threads.  One lock guards all of it and the bus; no
// callback ever runs with it held.
#include <CoreFoundation/CFNotificationCenter.h>

#include "platform/cf/CFRuntime.h"
#include "platform/cf/notify/Clock.h"
#include "platform/cf/notify/NotificationBus.h"
#include "platform/cf/notify/NotificationTesting.h"
#include "platform/cf/notify/NotificationUserInfo.h"
#include "platform/cf/notify/RunLoopInternal.h"


#include <pthread.h>

#include <algorithm>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct __CFNotificationCenter {
  __CFRuntimeBase _base;
};

namespace quillmate::notify {
namespace {

void destroyNothing(CFTypeRef) {}
const quillmate_cf::RuntimeClass kCenterClass = {"CFNotificationCenter", destroyNothing,
                                                 nullptr, nullptr};

// A failed reconnection is tried again at most this often by waiting runs.
constexpr std::uint64_t kReconnectIntervalUsec = 1'000'000;

// The wire text of a string; nothing when it cannot travel.
std::optional<std::string> utf8(CFStringRef string) {
  std::string text;
  if (!wireText(string, text)) return std::nullopt;
  return text;
}

// The wire text of an object argument: empty for null.  Nothing when the
// object is not a string or has no UTF-8 form.
std::optional<std::string> objectText(const void* object) {
  if (!object) return std::string();
  if (CFGetTypeID(object) != CFStringGetTypeID()) return std::nullopt;
  return utf8(static_cast<CFStringRef>(object));
}

CFStringRef makeString(std::string_view text) {
  return CFStringCreateWithBytes(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(text.data()),
                                 CFIndex(text.size()), kCFStringEncodingUTF8, false);
}

struct Registration {
  std::uint64_t id = 0;
  const void* observer = nullptr;
  CFNotificationCallback callback = nullptr;
  std::optional<std::string> name;    // nothing: every name
  std::optional<std::string> object;  // nothing: every object
  CFNotificationSuspensionBehavior behavior = CFNotificationSuspensionBehaviorHold;
  std::weak_ptr<__CFRunLoop> loop;
  std::string rule;  // as Bus::addMatch answered
};

class Center {
 public:
  __CFNotificationCenter object{};

  Center() {
    quillmate_cf::initBase(object._base, typeID());
    object._base._flags = quillmate_cf::kImmortalFlag;
  }

  static CFTypeID typeID() {
    static const CFTypeID id = quillmate_cf::registerClass(&kCenterClass);
    return id;
  }

  void addObserver(const void* observer, CFNotificationCallback callback,
                   std::optional<std::string> name, std::optional<std::string> object,
                   CFNotificationSuspensionBehavior behavior) {
    std::shared_ptr<__CFRunLoop> loop = currentRunLoop();
    std::lock_guard lock(mutex_);
    for (Registration& r : registrations_) {
      if (r.observer == observer && r.name == name && r.object == object) {
        r.callback = callback;
        r.behavior = behavior;
        r.loop = loop;
        return;
      }
    }
    Registration r;
    r.id = nextID_++;
    r.observer = observer;
    r.callback = callback;
    r.behavior = behavior;
    r.loop = loop;
    r.rule = bus_.addMatch(matchRule(name, object));
    r.name = std::move(name);
    r.object = std::move(object);
    registrations_.push_back(std::move(r));
  }

  // Removes the observer's registrations whose name and object match the
  // given ones (nothing matches anything).
  void removeObserver(const void* observer, const std::optional<std::string>& name,
                      const std::optional<std::string>& object) {
    std::lock_guard lock(mutex_);
    std::erase_if(registrations_, [&](const Registration& r) {
      if (r.observer != observer) return false;
      if (name && r.name != name) return false;
      if (object && r.object != object) return false;
      bus_.removeMatch(r.rule);
      std::erase_if(held_, [&](const Delivery& d) { return d.registration == r.id; });
      return true;
    });
  }

  void post(std::string_view name, std::string_view object, CFDictionaryRef userInfo,
            bool deliverImmediately) {
    std::lock_guard lock(mutex_);
    bus_.post(name, object, deliverImmediately, writeUserInfo, userInfo);
  }

  void setSuspended(bool suspended) {
    std::lock_guard lock(mutex_);
    // Posts that arrived before the change are judged by the state they
    // arrived in.
    bus_.pump();
    if (suspended == suspended_) return;
    suspended_ = suspended;
    if (suspended) return;
    for (Delivery& d : held_) {
      if (const Registration* r = find(d.registration))
        if (std::shared_ptr<__CFRunLoop> loop = r->loop.lock()) queue(*loop, std::move(d));
    }
    held_.clear();
  }

  bool suspended() {
    std::lock_guard lock(mutex_);
    return suspended_;
  }

  bool hasWork(__CFRunLoop& loop) {
    std::lock_guard lock(mutex_);
    if (!loop.ready.empty()) return true;
    return std::any_of(registrations_.begin(), registrations_.end(),
                       [&](const Registration& r) { return r.loop.lock().get() == &loop; });
  }

  std::size_t deliverReady(__CFRunLoop& loop) {
    std::size_t delivered = 0;
    for (;;) {
      CFNotificationCallback callback = nullptr;
      const void* observer = nullptr;
      std::shared_ptr<const Note> note;
      {
        std::lock_guard lock(mutex_);
        if (loop.ready.empty()) return delivered;
        Delivery d = std::move(loop.ready.front());
        loop.ready.pop_front();
        // The observer may have gone since the post was queued.
        const Registration* r = find(d.registration);
        if (!r) continue;
        callback = r->callback;
        observer = r->observer;
        note = std::move(d.note);
      }
      callback(&object, const_cast<void*>(observer), note->name, note->object, note->userInfo);
      ++delivered;
    }
  }

  bool pumpOrPrepareWait(__CFRunLoop& loop, BusWait& wait) {
    std::lock_guard lock(mutex_);
    if (!bus_.connected()) {
      std::uint64_t now = monotonicUsec();
      if (now - lastReconnect_ >= kReconnectIntervalUsec) {
        lastReconnect_ = now;
        bus_.reconnectIfWanted();
      }
    }
    bus_.pump();
    if (!loop.ready.empty()) return true;
    Bus::Wait next = bus_.nextWait();
    wait.fd = next.fd;
    wait.events = next.events;
    wait.deadlineUsec = next.deadlineUsec;
    if (!bus_.connected() && !registrations_.empty())
      wait.deadlineUsec = lastReconnect_ + kReconnectIntervalUsec;
    return false;
  }

  void lockForFork() { mutex_.lock(); }
  void unlockAfterFork() { mutex_.unlock(); }

  void reset() {
    std::lock_guard lock(mutex_);
    bus_.reset();
    registrations_.clear();
    held_.clear();
    suspended_ = false;
    lastReconnect_ = 0;
  }

 private:
  static void receive(void* context, const ReceivedPost& post) {
    static_cast<Center*>(context)->route(post);
  }

  // Called from Bus::pump, with the lock held.
  void route(const ReceivedPost& post) {
    std::shared_ptr<Note> note;
    for (const Registration& r : registrations_) {
      if (r.name && *r.name != post.name) continue;
      if (r.object && *r.object != post.object) continue;
      std::shared_ptr<__CFRunLoop> loop = r.loop.lock();
      if (!loop) continue;
      if (!note && !(note = makeNote(post))) return;
      Delivery d{r.id, note};
      if (!suspended_ || note->deliverImmediately ||
          r.behavior == CFNotificationSuspensionBehaviorDeliverImmediately) {
        queue(*loop, std::move(d));
      } else if (r.behavior == CFNotificationSuspensionBehaviorDrop) {
        // Discarded.
      } else {
        if (r.behavior == CFNotificationSuspensionBehaviorCoalesce) {
          std::erase_if(held_, [&](const Delivery& h) {
            return h.registration == r.id && h.note->nameText == note->nameText &&
                   h.note->objectText == note->objectText;
          });
        }
        held_.push_back(std::move(d));
      }
    }
  }

  static std::shared_ptr<Note> makeNote(const ReceivedPost& post) {
    auto note = std::make_shared<Note>();
    note->nameText = post.name;
    note->objectText = post.object;
    note->deliverImmediately = post.deliverImmediately;
    note->name = makeString(post.name);
    if (!note->name) return nullptr;
    if (!post.object.empty() && !(note->object = makeString(post.object))) return nullptr;
    note->userInfo = readUserInfo(post.userInfo);
    return note;
  }

  static void queue(__CFRunLoop& loop, Delivery d) {
    loop.ready.push_back(std::move(d));
    loop.wake();
  }

  const Registration* find(std::uint64_t id) const {
    for (const Registration& r : registrations_)
      if (r.id == id) return &r;
    return nullptr;
  }

  std::mutex mutex_;
  Bus bus_{&Center::receive, this};
  std::vector<Registration> registrations_;
  std::deque<Delivery> held_;
  bool suspended_ = false;
  std::uint64_t nextID_ = 1;
  std::uint64_t lastReconnect_ = 0;
};

// Never destroyed: observers' threads may still run while the process exits.
Center& center() {
  static Center* instance = [] {
    auto* c = new Center;
    // fork() while another thread holds the lock would leave the child's
    // copy locked for ever; holding it across the fork hands the child an
    // unlocked one (and a state no thread is halfway through changing).
    pthread_atfork([] { center().lockForFork(); }, [] { center().unlockAfterFork(); },
                   [] { center().unlockAfterFork(); });
    return c;
  }();
  return *instance;
}

bool isCenter(CFNotificationCenterRef c) { return c && c == &center().object; }

// A name or object argument of an observer's filter: nothing for null (and
// for the empty object, which is the same).  False when it cannot be used.
bool filterText(CFStringRef name, std::optional<std::string>& out) {
  if (!name) return true;
  std::optional<std::string> text = utf8(name);
  if (!text) return false;
  out = std::move(text);
  return true;
}

bool objectFilter(const void* object, std::optional<std::string>& out) {
  std::optional<std::string> text = objectText(object);
  if (!text) return false;
  if (!text->empty()) out = std::move(text);
  return true;
}

}  // namespace

Note::~Note() {
  if (name) CFRelease(name);
  if (object) CFRelease(object);
  if (userInfo) CFRelease(userInfo);
}

bool hasWork(__CFRunLoop& loop) { return center().hasWork(loop); }
std::size_t deliverReady(__CFRunLoop& loop) { return center().deliverReady(loop); }
bool pumpOrPrepareWait(__CFRunLoop& loop, BusWait& wait) {
  return center().pumpOrPrepareWait(loop, wait);
}

void resetDistributedCenterForTesting() { center().reset(); }

}  // namespace quillmate::notify

using namespace quillmate::notify;

extern "C" {

CFTypeID CFNotificationCenterGetTypeID(void) { return Center::typeID(); }

CFNotificationCenterRef CFNotificationCenterGetDistributedCenter(void) {
  return &center().object;
}

void CFNotificationCenterAddObserver(CFNotificationCenterRef c, const void* observer,
                                     CFNotificationCallback callBack, CFStringRef name,
                                     const void* object,
                                     CFNotificationSuspensionBehavior suspensionBehavior) {
  if (!isCenter(c) || !callBack) return;
  std::optional<std::string> nameFilter, objFilter;
  if (!filterText(name, nameFilter) || !objectFilter(object, objFilter)) return;
  center().addObserver(observer, callBack, std::move(nameFilter), std::move(objFilter),
                       suspensionBehavior);
}

void CFNotificationCenterRemoveObserver(CFNotificationCenterRef c, const void* observer,
                                        CFNotificationName name, const void* object) {
  if (!isCenter(c)) return;
  std::optional<std::string> nameFilter, objFilter;
  if (!filterText(name, nameFilter) || !objectFilter(object, objFilter)) return;
  center().removeObserver(observer, nameFilter, objFilter);
}

void CFNotificationCenterRemoveEveryObserver(CFNotificationCenterRef c, const void* observer) {
  if (!isCenter(c)) return;
  center().removeObserver(observer, std::nullopt, std::nullopt);
}

void CFNotificationCenterPostNotificationWithOptions(CFNotificationCenterRef c,
                                                     CFNotificationName name,
                                                     const void* object,
                                                     CFDictionaryRef userInfo,
                                                     CFOptionFlags options) {
  if (!isCenter(c) || !name) return;
  std::optional<std::string> nameText = utf8(name);
  std::optional<std::string> objText = objectText(object);
  if (!nameText || !objText) return;
  center().post(*nameText, *objText, userInfo, (options & kCFNotificationDeliverImmediately) != 0);
}

void CFNotificationCenterPostNotification(CFNotificationCenterRef c, CFNotificationName name,
                                          const void* object, CFDictionaryRef userInfo,
                                          Boolean deliverImmediately) {
  CFNotificationCenterPostNotificationWithOptions(
      c, name, object, userInfo, deliverImmediately ? kCFNotificationDeliverImmediately : 0);
}

void CFNotificationCenterSetSuspended(CFNotificationCenterRef c, Boolean suspended) {
  if (isCenter(c)) center().setSuspended(suspended != 0);
}

Boolean CFNotificationCenterIsSuspended(CFNotificationCenterRef c) {
  return isCenter(c) && center().suspended();
}

}  // extern "C"
