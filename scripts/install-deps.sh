#!/usr/bin/env bash
# Installs the Debian packages of scripts/packages.txt that are not installed yet
# (apt-get update only when something is missing). Uses sudo when not root.
# Usage: scripts/install-deps.sh
set -euo pipefail
list="$(dirname "$0")/packages.txt"
missing=()
while read -r package; do
  [ -n "$package" ] || continue
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done < <(sed -e 's/#.*//' -e 's/[[:space:]]//g' "$list")
[ ${#missing[@]} -gt 0 ] || exit 0
echo "== installing ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq "${missing[@]}"
