// Latency of the option store's writes (set + durable synchronise) and reads,
// in a private preferences folder on the machine's disk.
#include "pane/OptionStore.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

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

// What one click on a check box costs.
void BM_WriteOption(benchmark::State &state) {
  Folder folder;
  fillDomain(static_cast<int>(state.range(0)));
  OptionStore store(kQuillmateApplicationID);
  bool on = false;
  for (auto _ : state) {
    store.writeOption(kOpenFileKey, on);
    on = !on;
  }
}
BENCHMARK(BM_WriteOption)->Arg(0)->Arg(200)->Unit(benchmark::kMillisecond)
    ->Repetitions(5)->ReportAggregatesOnly(true);

void BM_ReadOption(benchmark::State &state) {
  Folder folder;
  OptionStore store(kQuillmateApplicationID);
  store.writeOption(kOpenFileKey, false);
  for (auto _ : state) benchmark::DoNotOptimize(store.readOption(kOpenFileKey));
}
BENCHMARK(BM_ReadOption);

} // namespace

BENCHMARK_MAIN();
