#!/usr/bin/env bash
# The main job: sets up, builds the Quillmate pane, installs it into the
# user's GNUstep bundles folder and opens System Preferences on it.
#
# With a display, System Preferences stays open on the pane until you quit it.
# Without one ($DISPLAY unset or unreachable), it runs under a virtual display,
# a screenshot of the pane is saved, its path printed, and the host quits.
#   QUILLMATE_SCREENSHOT=<file>   where the screenshot goes
#   QUILLMATE_BUILD_DIR=<folder>  build folder root (default: build/)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QUILLMATE_BUILD_DIR:-$root/build}/app
"$root/tools/setup.sh"

bundles="$(gnustep-config --variable=GNUSTEP_USER_LIBRARY)/Bundles"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUILLMATE_BUILD_PANE=ON -DQUILLMATE_BUILD_TESTS=OFF -DQUILLMATE_BUILD_BENCH=OFF \
  -DQUILLMATE_PANE_INSTALL_DIR="$bundles" >/dev/null
cmake --build "$build" -j "$(nproc)" --target quillmate_prefpane
cmake --install "$build" --component pane
echo "Installed $bundles/Quillmate.prefPane"

driver="$root/pane/bundle/host.py"
logs="$build/host-logs"
if [[ -n "${DISPLAY:-}" ]] && xdpyinfo >/dev/null 2>&1; then
  exec python3 "$driver" show --logs "$logs"
fi

screenshot=${QUILLMATE_SCREENSHOT:-$build/pane-screenshot.png}
mkdir -p "$(dirname "$screenshot")"
# No display: a virtual one, and a session bus of our own unless one is there
# (the pane announces its changes on it).
command=(xvfb-run -a -s "-screen 0 1280x1024x24"
         python3 "$driver" show --quit --screenshot "$screenshot" --logs "$logs")
if [[ -z "${DBUS_SESSION_BUS_ADDRESS:-}" ]]; then
  command=(dbus-run-session -- "${command[@]}")
fi
"${command[@]}"
