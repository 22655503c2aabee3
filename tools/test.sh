#!/usr/bin/env bash
# Sets up, builds and runs every test:
#   1. the libraries and their tests under AddressSanitizer and UBSan;
#   2. a plain build: the pane bundle and its tests, the install test;
#   3. the fuzz targets, built with clang, each for a bounded time.
# Tests that need a session bus or a display start their own; the whole run
# also sits inside a private bus and a virtual display, so nothing reaches the
# user's.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QUILLMATE_BUILD_DIR:-$root/build}
jobs=$(nproc)
fuzz_seconds=${QUILLMATE_FUZZ_SECONDS:-30}

"$root/tools/setup.sh" || { echo "setup failed"; exit 1; }

passed=0 failed=0 status=0
ctest_stage() { # name build-dir ctest-args...
  local name=$1 dir=$2; shift 2
  local log="$dir/ctest.log"
  echo "== $name: ctest $*"
  (cd "$dir" && dbus-run-session -- xvfb-run -a -s "-screen 0 1280x1024x24" \
      ctest --output-on-failure --timeout 600 -j "$jobs" "$@") 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  local line total fails
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)
  if [[ -n "$line" ]]; then
    total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
    fails=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$line")
    passed=$((passed + total - fails)); failed=$((failed + fails))
  elif ((rc != 0)); then
    failed=$((failed + 1))
  fi
  ((rc == 0)) || status=1
}
configure_and_build() { # name dir cmake-args...
  local name=$1 dir=$2; shift 2
  echo "== $name: configure and build"
  if ! cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >"$dir.configure.log" 2>&1; then
    cat "$dir.configure.log"; failed=$((failed + 1)); status=1; return 1
  fi
  if ! cmake --build "$dir" -j "$jobs"; then
    failed=$((failed + 1)); status=1; return 1
  fi
}

mkdir -p "$build"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
if [[ -f "$root/tests/lsan.supp" ]]; then
  export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$root/tests/lsan.supp}
fi

if configure_and_build sanitizers "$build/asan" -DQUILLMATE_SANITIZE=ON \
    -DQUILLMATE_BUILD_PANE=OFF -DQUILLMATE_BUILD_BENCH=OFF; then
  ctest_stage sanitizers "$build/asan" -LE 'install|package|pane'
fi

if configure_and_build plain "$build/plain" -DQUILLMATE_BUILD_PANE=ON; then
  ctest_stage plain "$build/plain" -L 'install|package|pane'
fi

if [[ -d "$root/tests/fuzz" ]]; then
  if CC=clang CXX=clang++ configure_and_build fuzz "$build/fuzz" -DQUILLMATE_FUZZ=ON \
      -DQUILLMATE_BUILD_TESTS=OFF -DQUILLMATE_BUILD_BENCH=OFF -DQUILLMATE_BUILD_PANE=OFF; then
    for target in "$build"/fuzz/tests/fuzz/fuzz_*; do
      [[ -x "$target" ]] || continue
      name=$(basename "$target")
      corpus="$build/fuzz/corpus/$name"; mkdir -p "$corpus"
      echo "== fuzz: $name for ${fuzz_seconds}s"
      seeds=(); [[ -d "$root/tests/fuzz/corpus/$name" ]] && seeds=("$root/tests/fuzz/corpus/$name")
      if "$target" -max_total_time="$fuzz_seconds" -print_final_stats=1 "$corpus" "${seeds[@]}" \
          >"$build/fuzz/$name.log" 2>&1; then
        passed=$((passed + 1)); tail -3 "$build/fuzz/$name.log"
      else
        failed=$((failed + 1)); status=1; tail -60 "$build/fuzz/$name.log"
      fi
    done
  fi
fi

echo "$passed passed, $failed failed"
exit $status
