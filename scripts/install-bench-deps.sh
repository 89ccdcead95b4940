#!/usr/bin/env bash
# The programs the benchmark compares against: ssh-agent/ssh-add, and secret-tool with
# gnome-keyring-daemon in a private D-Bus session. Missing ones are installed when possible;
# the harness skips a peer that still cannot start.
set -uo pipefail
packages=(openssh-client gnome-keyring libsecret-tools dbus dbus-x11 hyperfine)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
$sudo apt-get update -qq && DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" \
  || echo "bench: could not install ${missing[*]}; those peers will be skipped"
exit 0
