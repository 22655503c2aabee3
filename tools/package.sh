#!/usr/bin/env bash
# Builds the Debian packages with CPack in a Release tree of its own
# (build/package, or $QUILLMATE_PACKAGE_BUILD_DIR) configured for /usr, and
# prints the path of each .deb, one a line.  Everything else (setup, build,
# CPack's log) goes to standard error.
#   tools/package.sh && sudo apt install ./build/package/packages/*.deb
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QUILLMATE_PACKAGE_BUILD_DIR:-$root/build/package}

{
  "$root/tools/setup.sh"

  # The pane goes where GNUstep's system domain keeps bundles, which System
  # Preferences searches; the install rule wants it relative to /usr.
  bundles=$(gnustep-config --variable=GNUSTEP_SYSTEM_LIBRARY)/Bundles
  if [[ $bundles != /usr/* ]]; then
    echo "package: GNUstep's system bundles folder $bundles is not under /usr" >&2
    exit 1
  fi

  # Debian's flags (its optimisation and all its hardening) rather than
  # CMake's Release ones; debug information stays out of the packages.
  cd "$root"
  flags() {
    DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1" |
      sed -E 's/(^| )-g( |$)/ /g'
  }
  cflags="$(flags CPPFLAGS) $(flags CFLAGS)"
  cxxflags="$(flags CPPFLAGS) $(flags CXXFLAGS)"
  objcxxflags="$(flags CPPFLAGS) $(flags OBJCXXFLAGS)"
  ldflags=$(flags LDFLAGS)

  launcher=()
  if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  fi
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DQUILLMATE_BUILD_TESTS=OFF -DQUILLMATE_BUILD_BENCH=OFF -DQUILLMATE_BUILD_PANE=ON \
    -DQUILLMATE_MAN_PAGES=ON -DQUILLMATE_PANE_INSTALL_DIR="${bundles#/usr/}" \
    -DCMAKE_C_FLAGS="$cflags" -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_OBJCXX_FLAGS="$objcxxflags" \
    -DCMAKE_C_FLAGS_RELEASE=-DNDEBUG -DCMAKE_CXX_FLAGS_RELEASE=-DNDEBUG \
    -DCMAKE_OBJCXX_FLAGS_RELEASE=-DNDEBUG -DCMAKE_EXE_LINKER_FLAGS="$ldflags" \
    -DCMAKE_MODULE_LINKER_FLAGS="$ldflags" -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" \
    -DCMAKE_SKIP_INSTALL_RPATH=ON "${launcher[@]}"
  cmake --build "$build" -j "$(nproc)"
  rm -rf "$build/packages"
  (cd "$build" && cpack -G DEB)
} >&2

find "$build/packages" -maxdepth 1 -name '*.deb' | sort
