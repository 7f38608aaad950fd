#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the demo need. Safe to re-run.
set -euo pipefail
packages=(g++ cmake ninja-build ccache pkg-config
          qt6-base-dev qt6-websockets-dev qt6-httpserver-dev qcoro-qt6-dev
          libsqlite3-dev sqlite3 libphonenumber-dev libplist-dev libicu-dev libgl-dev
          python3 curl)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
