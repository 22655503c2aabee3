// Latency of the distributed notification center across processes on a
// private bus.  A forked echo process observes "bench.ping"; each ping carries
// its send time (CLOCK_MONOTONIC, shared by both processes), and the echo's
// callback answers with "bench.pong" carrying the one-way latency it saw.
// Reported: the median one-way latency (post to observer callback in the
// other process) and the median round trip.
#include <CoreFoundation/CoreFoundation.h>

#include "tests/platform/cf/notify/PrivateBus.h"

#include <benchmark/benchmark.h>

#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::int64_t nowNs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return std::int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

std::string text(const void* s) {
  char buffer[128] = "";
  if (s) CFStringGetCString(static_cast<CFStringRef>(s), buffer, sizeof buffer, kCFStringEncodingUTF8);
  return buffer;
}

void postText(const char* name, const std::string& object) {
  CFStringRef n = CFStringCreateWithCString(nullptr, name, kCFStringEncodingUTF8);
  CFStringRef o = CFStringCreateWithCString(nullptr, object.c_str(), kCFStringEncodingUTF8);
  CFNotificationCenterPostNotification(CFNotificationCenterGetDistributedCenter(), n, o, nullptr,
                                       true);
  CFRelease(n);
  CFRelease(o);
}

// The echo process.
bool echoStop = false;
void onPing(CFNotificationCenterRef, void*, CFNotificationName, const void* object,
            CFDictionaryRef) {
  std::int64_t sent = std::atoll(text(object).c_str());
  postText("bench.pong", std::to_string(nowNs() - sent));
}
void onStop(CFNotificationCenterRef, void*, CFNotificationName, const void*, CFDictionaryRef) {
  echoStop = true;
}
[[noreturn]] void runEcho() {
  CFNotificationCenterRef center = CFNotificationCenterGetDistributedCenter();
  CFNotificationCenterAddObserver(center, &echoStop, onPing, CFSTR("bench.ping"), nullptr,
                                  CFNotificationSuspensionBehaviorDeliverImmediately);
  CFNotificationCenterAddObserver(center, &echoStop, onStop, CFSTR("bench.stop"), nullptr,
                                  CFNotificationSuspensionBehaviorDeliverImmediately);
  postText("bench.ready", "");
  while (!echoStop) CFRunLoopRunInMode(kCFRunLoopDefaultMode, 1, true);
  _exit(0);
}

// The measuring process.
struct Pongs {
  bool ready = false;
  bool got = false;
  std::int64_t oneWay = 0;
};
void onPong(CFNotificationCenterRef, void* observer, CFNotificationName name, const void* object,
            CFDictionaryRef) {
  auto* p = static_cast<Pongs*>(observer);
  if (CFEqual(name, CFSTR("bench.ready"))) {
    p->ready = true;
  } else {
    p->got = true;
    p->oneWay = std::atoll(text(object).c_str());
  }
}

double medianUs(std::vector<std::int64_t> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return double(v[v.size() / 2]) / 1000.0;
}

void BM_PostToCallbackAcrossProcesses(benchmark::State& state) {
  quillmate::testing::PrivateBus bus;
  if (!bus.running()) {
    state.SkipWithError("dbus-daemon did not start");
    return;
  }
  CFNotificationCenterRef center = CFNotificationCenterGetDistributedCenter();
  Pongs pongs;
  CFNotificationCenterAddObserver(center, &pongs, onPong, CFSTR("bench.pong"), nullptr,
                                  CFNotificationSuspensionBehaviorDeliverImmediately);
  CFNotificationCenterAddObserver(center, &pongs, onPong, CFSTR("bench.ready"), nullptr,
                                  CFNotificationSuspensionBehaviorDeliverImmediately);
  pid_t echo = fork();
  if (echo == 0) runEcho();
  while (!pongs.ready) CFRunLoopRunInMode(kCFRunLoopDefaultMode, 1, true);

  std::vector<std::int64_t> oneWay, roundTrip;
  for (auto _ : state) {
    pongs.got = false;
    std::int64_t sent = nowNs();
    postText("bench.ping", std::to_string(sent));
    while (!pongs.got) CFRunLoopRunInMode(kCFRunLoopDefaultMode, 1, true);
    roundTrip.push_back(nowNs() - sent);
    oneWay.push_back(pongs.oneWay);
  }
  postText("bench.stop", "");
  int status;
  waitpid(echo, &status, 0);
  CFNotificationCenterRemoveEveryObserver(center, &pongs);

  state.counters["one_way_median_us"] = medianUs(oneWay);
  state.counters["round_trip_median_us"] = medianUs(roundTrip);
}
BENCHMARK(BM_PostToCallbackAcrossProcesses)->Iterations(2000)->Unit(benchmark::kMicrosecond);

// What a post costs the poster, with a bus and with none.
void BM_Post(benchmark::State& state) {
  quillmate::testing::PrivateBus bus;
  for (auto _ : state)
    CFNotificationCenterPostNotification(CFNotificationCenterGetDistributedCenter(),
                                         CFSTR("Preferences Changed"),
                                         CFSTR("com.quillworks.preference.quillmate"), nullptr,
                                         true);
}
BENCHMARK(BM_Post)->Unit(benchmark::kMicrosecond);

void BM_PostWithNoBus(benchmark::State& state) {
  setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/quillmate/bus", 1);
  quillmate::notify::resetDistributedCenterForTesting();
  for (auto _ : state)
    CFNotificationCenterPostNotification(CFNotificationCenterGetDistributedCenter(),
                                         CFSTR("Preferences Changed"),
                                         CFSTR("com.quillworks.preference.quillmate"), nullptr,
                                         true);
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
}
BENCHMARK(BM_PostWithNoBus)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
