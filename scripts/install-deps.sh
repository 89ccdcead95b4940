#!/usr/bin/env bash
# Installs the Debian packages that are missing. `install-deps.sh run`: only what building and
# running the programs needs (what `make run` uses); no argument or `all`: also what the test
# suite, the benchmarks and the fuzz targets need; `package`: the programs and what making and
# checking the Debian packages needs (`make package`, `make package-check`).
set -euo pipefail
# Building and running caskel, caskeld and caskel-app (Qt 6 Widgets; the SVG plugin draws the
# window's icons at run time; libxcb for the shortcut's key grab).
programs=(
  cmake ninja-build g++ pkg-config make
  libsqlite3-dev libsodium-dev libssl-dev nlohmann-json3-dev libcli11-dev libseccomp-dev
  qt6-base-dev libqt6svg6
  libxcb1-dev  # the quick-access shortcut's X11 key grab
  bubblewrap  # caskel sandbox
)
# The test suite (GoogleTest; openssl, setpriv and ps as the tests' own tools), the benchmarks
# and the fuzz targets (clang's libFuzzer).
tests=(
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  openssl bash procps util-linux perl-base
  man-db systemd  # the install test: man renders the pages, systemd-analyze checks the unit
  fonts-dejavu-core  # the screens' tests and screenshots render text offscreen
  desktop-file-utils  # desktop-file-validate checks the start-at-login entry
  # The desktop-session suite: a virtual X server with its own session bus, key presses sent
  # into it and the X clipboard read back.
  xvfb xauth dbus-daemon xdotool xclip
)
# Making the packages (dpkg-shlibdeps, the icon's bitmaps rendered from its drawing) and checking
# them: lintian, the desktop entry's and the AppStream file's validators, the unit's verifier.
packaging=(
  dpkg-dev librsvg2-bin lintian desktop-file-utils appstream systemd man-db
)
case "${1:-all}" in
  run) packages=("${programs[@]}") ;;
  package) packages=("${programs[@]}" "${packaging[@]}") ;;
  all) packages=("${programs[@]}" "${tests[@]}") ;;
  *) echo "usage: $0 [run|all|package]" >&2; exit 2 ;;
esac
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
