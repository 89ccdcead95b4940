#!/usr/bin/env bash
# make package-check: the packages' whole life on this machine. Installs caskel and
# caskel-desktop from the build directory with apt, checks that the installed programs answer,
# that the self-check's package rows pass against them and that systemd accepts the unit;
# upgrades from a package of a lower version under a running caskel-app, which must raise its
# update alert; then purges both and checks that none of their files is left.
# Usage: package-check.sh BUILD_DIR (a build made by `make package`). Needs root.
set -euo pipefail
build=$(realpath "${1:-build-package}")
cd "$(dirname "$0")/.."

say() { echo "package-check: $*"; }
fail() { echo "package-check: FAILED: $*" >&2; exit 1; }
# The package is on the system in any state but "never installed" or "purged".
present() {
  local status
  status=$(dpkg-query -W -f='${db:Status-Abbrev}' "$1" 2>/dev/null || true)
  [[ -n "$status" && "$status" != un* && "$status" != pn* ]]
}

if [ "$(id -u)" -ne 0 ]; then
  fail "must run as root: it installs and purges the caskel packages system-wide (try: sudo make package-check)"
fi
for p in caskel caskel-desktop; do
  if present "$p"; then
    fail "$p is installed already; this check would replace and then purge it — remove it first"
  fi
done

version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
release=$(sed -n 's/^set(CPACK_DEBIAN_PACKAGE_RELEASE "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
arch=$(dpkg --print-architecture)
tool_deb="$build/caskel_${version}-${release}_${arch}.deb"
desktop_deb="$build/caskel-desktop_${version}-${release}_${arch}.deb"
[ -f "$tool_deb" ] && [ -f "$desktop_deb" ] || fail "no packages of version $version-$release in $build: run make package"

scratch=$(mktemp -d /tmp/caskel-package-check.XXXXXX)
app_pid=""
cleanup() {
  if [ -n "$app_pid" ]; then kill "$app_pid" 2>/dev/null || true; wait "$app_pid" 2>/dev/null || true; fi
  # A check that failed half-way leaves no package behind either.
  if present caskel || present caskel-desktop; then
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq caskel caskel-desktop >/dev/null 2>&1 || true
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT

apt_install() {
  # Recommends (a graphical pinentry and its desktop) are left out: nothing here prompts.
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends --allow-downgrades "$@" \
    >"$scratch/apt.log" 2>&1 || { cat "$scratch/apt.log"; fail "apt-get install $*"; }
}

# Waits up to $3 seconds for file $1 to hold a line starting with $2.
await_line() {
  local deadline=$((SECONDS + $3))
  until grep -q "^$2" "$1" 2>/dev/null; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.1
  done
}

say "lintian"
lintian_ok=yes
lintian --fail-on error "$tool_deb" "$desktop_deb" >"$scratch/lintian.log" 2>&1 || lintian_ok=""
grep -v 'running with root privileges' "$scratch/lintian.log" | sed 's/^/  /' || true
[ -n "$lintian_ok" ] || fail "lintian reports errors"

say "installing $(basename "$tool_deb") and $(basename "$desktop_deb")"
apt_install "$tool_deb" "$desktop_deb"
# Every path of both packages, recorded now to be looked for after the purge.
dpkg -L caskel caskel-desktop | sort -u >"$scratch/files"

say "the installed programs answer"
for program in caskel caskeld; do
  out=$("/usr/bin/$program" --version) || fail "$program --version"
  [[ "$out" == *"$version"* ]] || fail "$program --version printed '$out', not $version"
done
mkdir -m 0700 "$scratch/home" "$scratch/sock" "$scratch/runtime"
# The programs run as a user with a home of their own would: nothing of theirs lands elsewhere.
app_env=(HOME="$scratch/home" XDG_RUNTIME_DIR="$scratch/runtime" CASKEL_SOCKET="$scratch/sock/caskel.sock"
  QT_QPA_PLATFORM=offscreen)
out=$(env "${app_env[@]}" /usr/bin/caskel-app --version) || fail "caskel-app --version"
[[ "$out" == *"$version"* ]] || fail "caskel-app --version printed '$out', not $version"

say "the desktop entry and the AppStream metadata validate"
desktop-file-validate /usr/share/applications/caskel-app.desktop || fail "desktop-file-validate"
appstreamcli validate --no-net /usr/share/metainfo/org.caskel.Caskel.metainfo.xml >"$scratch/as.log" 2>&1 ||
  { cat "$scratch/as.log"; fail "appstreamcli validate"; }

say "the self-check's package rows"
cmake --build "$build" --target caskel_package_rows >/dev/null
for program in caskeld caskel caskel-app; do
  "$build/tools/package_rows/caskel_package_rows" "/usr/bin/$program" >"$scratch/rows" ||
    { cat "$scratch/rows"; fail "the package integrity row fails for /usr/bin/$program"; }
  # Installed from a file, not a repository: the row informs, and says so.
  grep -qx "Installed from a repository: failed — Installed from a local file, not from a repository" "$scratch/rows" ||
    { cat "$scratch/rows"; fail "the repository row for /usr/bin/$program"; }
done
sed 's/^/  /' "$scratch/rows"

say "systemd accepts the user unit"
unit=/usr/lib/systemd/user/caskeld.service
SYSTEMD_LOG_COLOR=0 systemd-analyze verify "$unit" >"$scratch/unit.log" 2>&1 && [ ! -s "$scratch/unit.log" ] ||
  { cat "$scratch/unit.log"; fail "systemd-analyze verify $unit"; }

say "upgrade: from $version-$release's lower-version twin to $version-$release under a running caskel-app"
older=0.0.1
(cd "$build" && cpack -G DEB -D CPACK_PACKAGE_VERSION=$older -B "$scratch/older" >"$scratch/cpack.log" 2>&1) ||
  { cat "$scratch/cpack.log"; fail "cpack of version $older"; }
apt_install "$scratch/older/caskel_${older}-${release}_${arch}.deb" "$scratch/older/caskel-desktop_${older}-${release}_${arch}.deb"
[ "$(dpkg-query -W -f='${Version}' caskel-desktop)" = "$older-$release" ] || fail "version $older was not installed"
trace="$scratch/trace"
env "${app_env[@]}" /usr/bin/caskel-app --trace "$trace" --update-interval 1 >"$scratch/app.log" 2>&1 &
app_pid=$!
# The update watch takes its first look right after the shortcut's line.
await_line "$trace" "hotkey: " 30 || { cat "$scratch/app.log"; fail "caskel-app did not start"; }
apt_install "$tool_deb" "$desktop_deb"
await_line "$trace" "alert: Caskel Updated" 15 || { cat "$trace" "$scratch/app.log"; fail "no update alert within 15 s"; }
say "  the running caskel-app raised its update alert"
share_dir=$(sed -n 's/^share-dir: //p' "$trace")
kill "$app_pid"
wait "$app_pid" 2>/dev/null || true
app_pid=""
# Its one folder outside the home, for encrypted hand-offs, goes when it quits.
[ -n "$share_dir" ] && [ ! -e "$share_dir" ] || fail "caskel-app left its share folder '$share_dir' behind"

say "purging both"
DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq caskel caskel-desktop >"$scratch/apt.log" 2>&1 ||
  { cat "$scratch/apt.log"; fail "apt-get purge"; }
left=()
while IFS= read -r path; do
  [ -e "$path" ] || [ -L "$path" ] || continue
  # A folder that other packages share (/usr/bin, the icon theme's) stays; one of ours may not.
  if [ -d "$path" ] && [ ! -L "$path" ] && dpkg-query -S "$path" >/dev/null 2>&1; then continue; fi
  left+=("$path")
done <"$scratch/files"
[ ${#left[@]} -eq 0 ] || fail "left after the purge: ${left[*]}"
say "ok: installed, checked, upgraded and purged without a trace"
