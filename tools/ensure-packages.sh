#!/usr/bin/env bash
# Installs the Debian packages of tools/packages.txt that are missing: as
# root with apt-get, otherwise prints the one apt-get line to run and fails.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
mapfile -t wanted < <(grep -v -E '^\s*(#|$)' "$here/packages.txt")
missing=()
for package in "${wanted[@]}"; do
    status="$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)"
    [[ "$status" == "install ok installed" ]] || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0
if [[ "$(id -u)" -ne 0 ]]; then
    echo "missing packages; run as root:" >&2
    echo "apt-get install -y ${missing[*]}" >&2
    exit 1
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
