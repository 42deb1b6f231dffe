#!/usr/bin/env bash
# Installs the Debian packages of the named lists that are not installed yet
# (apt-get update only when something is missing). Uses sudo when not root.
# Usage: scripts/install-deps.sh build|test ...   (scripts/packages-<name>.txt)
set -euo pipefail
[ $# -gt 0 ] || { echo "usage: $0 build|test ..." >&2; exit 2; }
missing=()
for name in "$@"; do
  list="$(dirname "$0")/packages-$name.txt"
  [ -f "$list" ] || { echo "$0: no package list $list" >&2; exit 2; }
  while read -r package; do
    [ -n "$package" ] || continue
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$package")
    fi
  done < <(sed -e 's/#.*//' -e 's/[[:space:]]//g' "$list")
done
[ ${#missing[@]} -gt 0 ] || exit 0
echo "== installing ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq "${missing[@]}"
