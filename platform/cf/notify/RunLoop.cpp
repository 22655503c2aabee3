// Per-thread run loops.  A run alternates between handing ready deliveries to
// callbacks and waiting, in one ppoll, on the loop's wake-up descriptor and
// the bus connection.
#include <CoreFoundation/CFRunLoop.h>

#include "platform/cf/CFRuntime.h"
#include "platform/cf/notify/Clock.h"
#include "platform/cf/notify/RunLoopInternal.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>

namespace quillmate::notify {
namespace {

void destroyNothing(CFTypeRef) {}
const quillmate_cf::RuntimeClass kRunLoopClass = {"CFRunLoop", destroyNothing, nullptr, nullptr};

CFTypeID runLoopTypeID() {
  static const CFTypeID id = quillmate_cf::registerClass(&kRunLoopClass);
  return id;
}

// Without a wake-up descriptor a run looks at its queue this often.
constexpr std::uint64_t kPollStepUsec = 10'000;
// Longer runs are cut to this (about 31 years), which keeps the arithmetic
// below in range.
constexpr double kLongestRunSeconds = 1e9;

void drain(int fd) {
  std::uint64_t count;
  while (read(fd, &count, sizeof count) == sizeof count) {
  }
}

// Waits until the loop is woken, the bus has something, or `deadline`.
void waitFor(__CFRunLoop& loop, const BusWait& bus, std::uint64_t deadline) {
  if (bus.deadlineUsec < deadline) deadline = bus.deadlineUsec;
  pollfd fds[2];
  nfds_t count = 0;
  if (loop.wakeFd >= 0) fds[count++] = {loop.wakeFd, POLLIN, 0};
  if (bus.fd >= 0) fds[count++] = {bus.fd, bus.events, 0};
  std::uint64_t now = monotonicUsec();
  if (loop.wakeFd < 0 && deadline > now + kPollStepUsec) deadline = now + kPollStepUsec;
  std::uint64_t wait = deadline > now ? deadline - now : 0;
  timespec timeout{time_t(wait / 1'000'000), long(wait % 1'000'000) * 1000};
  if (ppoll(fds, count, &timeout, nullptr) > 0 && loop.wakeFd >= 0 && (fds[0].revents & POLLIN))
    drain(loop.wakeFd);
}

}  // namespace

std::shared_ptr<__CFRunLoop> currentRunLoop() {
  thread_local std::shared_ptr<__CFRunLoop> loop = std::make_shared<__CFRunLoop>();
  return loop;
}

}  // namespace quillmate::notify

__CFRunLoop::__CFRunLoop() {
  quillmate_cf::initBase(_base, quillmate::notify::runLoopTypeID());
  _base._flags = quillmate_cf::kImmortalFlag;
  wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

__CFRunLoop::~__CFRunLoop() {
  if (wakeFd >= 0) close(wakeFd);
}

void __CFRunLoop::wake() {
  if (wakeFd < 0) return;
  std::uint64_t one = 1;
  // A full counter (EAGAIN) already means "wake up".
  [[maybe_unused]] ssize_t written = write(wakeFd, &one, sizeof one);
}

using namespace quillmate::notify;

extern "C" {

const CFStringRef kCFRunLoopDefaultMode = CFSTR("kCFRunLoopDefaultMode");
const CFStringRef kCFRunLoopCommonModes = CFSTR("kCFRunLoopCommonModes");

CFTypeID CFRunLoopGetTypeID(void) { return runLoopTypeID(); }

CFRunLoopRef CFRunLoopGetCurrent(void) { return currentRunLoop().get(); }

CFRunLoopRunResult CFRunLoopRunInMode(CFStringRef mode, CFTimeInterval seconds,
                                      Boolean returnAfterSourceHandled) {
  if (!mode || !CFEqual(mode, kCFRunLoopDefaultMode)) return kCFRunLoopRunFinished;
  // Held for the whole run, so the loop outlives it even if a callback is the
  // last user of this thread's other references.
  std::shared_ptr<__CFRunLoop> loop = currentRunLoop();
  loop->stopRequested.store(false);

  if (!(seconds > 0)) seconds = 0;  // negative and NaN alike
  if (seconds > kLongestRunSeconds) seconds = kLongestRunSeconds;
  const std::uint64_t deadline = monotonicUsec() + std::uint64_t(std::ceil(seconds * 1e6));

  for (;;) {
    if (loop->stopRequested.exchange(false)) return kCFRunLoopRunStopped;
    std::size_t handled = deliverReady(*loop);
    if (handled > 0 && returnAfterSourceHandled) return kCFRunLoopRunHandledSource;
    if (loop->stopRequested.exchange(false)) return kCFRunLoopRunStopped;
    if (handled == 0 && !hasWork(*loop)) return kCFRunLoopRunFinished;
    BusWait bus;
    if (pumpOrPrepareWait(*loop, bus)) continue;
    if (monotonicUsec() >= deadline) return kCFRunLoopRunTimedOut;
    waitFor(*loop, bus, deadline);
  }
}

void CFRunLoopStop(CFRunLoopRef loop) {
  if (!loop) return;
  loop->stopRequested.store(true);
  loop->wake();
}

void CFRunLoopWakeUp(CFRunLoopRef loop) {
  if (loop) loop->wake();
}

}  // extern "C"
