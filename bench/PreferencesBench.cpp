// Latency of the option store's writes (set + durable synchronise) and reads,
// in a private preferences folder on the machine's disk.
#include "pane/OptionStore.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

// A folder under the build tree's disk rather than /tmp, which may be memory.
struct Folder {
  std::string path;
  Folder() {
    std::string base = std::filesystem::current_path().string() + "/prefs-bench-XXXXXX";
    path = mkdtemp(base.data()) ? base : "";
    setenv("QUILLMATE_PREFERENCES_DIR", path.c_str(), 1);
  }
  ~Folder() { std::filesystem::remove_all(path); }
};

void fillDomain(int keys) {
  for (int i = 0; i < keys; ++i) {
    std::string name = "key" + std::to_string(i);
    CFStringRef k = CFStringCreateWithCString(nullptr, name.c_str(), kCFStringEncodingUTF8);
    CFPreferencesSetAppValue(k, kCFBooleanTrue, kQuillmateApplicationID);
    CFRelease(k);
  }
  CFPreferencesAppSynchronize(kQuillmateApplicationID);
}

// What one click on a check box costs.  Besides the mean, the counters give
// the median and the 90th percentile of single calls (fsync times vary).
void BM_WriteOption(benchmark::State &state) {
  Folder folder;
  fillDomain(static_cast<int>(state.range(0)));
  OptionStore store(kQuillmateApplicationID);
  bool on = false;
  std::vector<double> samples;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    store.writeOption(kOpenFileKey, on);
    samples.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    on = !on;
  }
  std::sort(samples.begin(), samples.end());
  state.counters["median_ms"] = samples[samples.size() / 2];
  state.counters["p90_ms"] = samples[samples.size() * 9 / 10];
}
BENCHMARK(BM_WriteOption)->Arg(0)->Arg(200)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ReadOption(benchmark::State &state) {
  Folder folder;
  OptionStore store(kQuillmateApplicationID);
  store.writeOption(kOpenFileKey, false);
  for (auto _ : state) benchmark::DoNotOptimize(store.readOption(kOpenFileKey));
}
BENCHMARK(BM_ReadOption);

} // namespace

BENCHMARK_MAIN();
