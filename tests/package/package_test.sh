#!/usr/bin/env bash
# Builds the Debian packages (tools/package.sh), checks them with lintian,
# installs them on this machine, uses what they installed as a user and a
# developer would, purges them and looks for anything left behind.
#   package_test.sh <source dir> <work dir> [<command that loads the pane bundle>...]
# The pane command runs with QUILLMATE_TEST_BUNDLE set to the installed bundle.
# Exits 77 (skipped) where it may not install packages: no dpkg or apt-get,
# neither root nor passwordless sudo, or the packages already installed (the
# test would remove them).
set -euo pipefail
source_dir=$1 work=$2; shift 2
pane_test=("$@")
packages=(quillmate-tools quillmate-pane libquillmate-dev)

skip() { echo "SKIPPED: $*"; exit 77; }
step() { echo "== $* ($SECONDS s)"; }
fail() { echo "FAILED: $*" >&2; exit 1; }

command -v dpkg >/dev/null && command -v apt-get >/dev/null || skip "no dpkg or apt-get here"
as_root=()
if [[ $(id -u) -ne 0 ]]; then
  sudo -n true 2>/dev/null || skip "not root and no passwordless sudo"
  as_root=(sudo -n)
fi
for package in "${packages[@]}"; do
  if [[ -n $(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null | grep -v '^not-installed$') ]]; then
    skip "$package is already on this machine; the test would remove it"
  fi
done

# The package tree (work/build) stays from run to run, so a second run only
# builds what changed.
mkdir -p "$work"
find "$work" -mindepth 1 -maxdepth 1 ! -name build -exec rm -rf {} +
unset CMAKE_PREFIX_PATH PKG_CONFIG_PATH QUILLMATE_PREFERENCES_DIR

step "building the packages"
mapfile -t debs < <(QUILLMATE_PACKAGE_BUILD_DIR="$work/build" "$source_dir/tools/package.sh" \
                      2>"$work/package.log") || { tail -50 "$work/package.log"; fail "tools/package.sh"; }
((${#debs[@]} == ${#packages[@]})) || fail "tools/package.sh printed ${#debs[@]} packages: ${debs[*]}"
for deb in "${debs[@]}"; do
  [[ $deb == *.deb && -f $deb ]] || fail "not a package: $deb"
  printf '%s  %s  %s bytes\n' "$(dpkg-deb -f "$deb" Package)" "$(dpkg-deb -f "$deb" Version)" \
    "$(stat -c %s "$deb")"
done

step "every installed file is in a package"
staging=$work/staging
DESTDIR=$staging cmake --install "$work/build" >/dev/null
for deb in "${debs[@]}"; do dpkg-deb -c "$deb"; done | awk '$1 !~ /^d/ {print substr($6, 2)}' |
  grep -v '^/usr/share/doc/' | sort >"$work/packaged.list"
(cd "$staging" && find . ! -type d | cut -c2- | sort) >"$work/installed.list"
if ! diff -u "$work/installed.list" "$work/packaged.list"; then
  fail "cmake --install and the packages disagree (- only installed, + only packaged)"
fi

step "lintian"
if command -v lintian >/dev/null; then
  lintian --allow-root --fail-on error --tag-display-limit 0 "${debs[@]}" ||
    fail "lintian reports errors"
else
  echo "lintian is not installed: not checked"
fi

removed=false
purge() {
  $removed && return
  removed=true
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "${packages[@]}" \
    >"$work/purge.log" 2>&1
}
trap purge EXIT

step "installing"
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
  "${debs[@]}" >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "apt-get install"; }
for package in "${packages[@]}"; do
  dpkg-query -L "$package" >"$work/$package.files"
done

step "the tools"
[[ $(command -v qmfiles) == /usr/bin/qmfiles && $(command -v qmprefs) == /usr/bin/qmprefs ]] ||
  fail "the tools are not in /usr/bin"
qmfiles --help | grep -q 'qmfiles info' || fail "qmfiles --help"
mkdir -p "$work/tree/folder"
qmfiles ls "$work/tree" | grep -q 'folder' || fail "qmfiles ls"
export QUILLMATE_PREFERENCES_DIR=$work/preferences
qmprefs write com.example.package Answer -int 42 || fail "qmprefs write"
[[ $(qmprefs read com.example.package Answer) == 42 ]] || fail "qmprefs read"

step "manual pages and completions"
for tool in qmfiles qmprefs; do
  [[ -f /usr/share/man/man1/$tool.1.gz ]] || fail "no /usr/share/man/man1/$tool.1.gz"
  MANWIDTH=80 man -P cat "$tool" 2>&1 | grep -q "$tool - " || fail "man $tool"
  completion=/usr/share/bash-completion/completions/$tool
  bash --norc -c 'source "$1" && complete -p "$2"' bash "$completion" "$tool" >/dev/null ||
    fail "$completion does not complete $tool"
done

step "a client with find_package and with pkg-config, from /usr alone"
[[ $(pkg-config --modversion quillmate) == "$(dpkg-deb -f "${debs[0]}" Version | sed 's/-[^-]*$//')" ]] ||
  fail "pkg-config quillmate: $(pkg-config --modversion quillmate 2>&1)"
requires=$(pkg-config --print-requires quillmate | awk '{print $1}')
[[ -z $(sort <<<"$requires" | uniq -d) ]] || fail "quillmate.pc repeats a requirement: $requires"
for mode in cmake pkgconfig; do
  cmake -S "$source_dir/tests/install/client" -B "$work/client-$mode" -DCLIENT_MODE=$mode \
    -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ >"$work/client-$mode.log" 2>&1 &&
    cmake --build "$work/client-$mode" >>"$work/client-$mode.log" 2>&1 &&
    "$work/client-$mode/client" >>"$work/client-$mode.log" 2>&1 ||
    { cat "$work/client-$mode.log"; fail "the client ($mode)"; }
done
grep -q '/usr/lib/x86_64-linux-gnu/cmake/Quillmate\|Quillmate_DIR:PATH=/usr/' \
  "$work/client-cmake/CMakeCache.txt" || fail "find_package did not take the package from /usr"

step "the pane, where System Preferences looks"
bundle=$(gnustep-config --variable=GNUSTEP_SYSTEM_LIBRARY)/Bundles/Quillmate.prefPane
[[ -f $bundle/Quillmate && -f $bundle/Resources/Info-gnustep.plist ]] || fail "no pane in $bundle"
grep -qx "$bundle/Quillmate" "$work/quillmate-pane.files" || fail "quillmate-pane does not own $bundle"
if ldd "$bundle/Quillmate" | grep 'not found'; then fail "the pane misses libraries"; fi
if ((${#pane_test[@]})); then
  QUILLMATE_TEST_BUNDLE=$bundle "${pane_test[@]}" >"$work/pane.log" 2>&1 ||
    { tail -40 "$work/pane.log"; fail "the installed pane does not load"; }
fi

step "purging"
purge || { cat "$work/purge.log"; fail "apt-get purge"; }
for package in "${packages[@]}"; do
  [[ $(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null) != installed ]] ||
    fail "$package is still installed"
done
# A file left is a fault; so is a folder that no other package owns.
left=0
while IFS= read -r path; do
  [[ $path == /. || -z $path ]] && continue
  if [[ -L $path || -f $path ]]; then
    echo "left behind: $path"; left=1
  elif [[ -d $path ]] && ! dpkg-query -S "$path" >/dev/null 2>&1; then
    echo "left behind: $path/"; left=1
  fi
done < <(cat "$work"/*.files)
((left == 0)) || fail "files of the packages are left"
step "done"
