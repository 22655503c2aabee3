#!/usr/bin/env bash
# Sets up, builds and runs the main job: for now a short demo of the libraries.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QUILLMATE_BUILD_DIR:-$root/build}/plain
"$root/tools/setup.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target quillmate-demo
"$build/tools/quillmate-demo" "$@"
