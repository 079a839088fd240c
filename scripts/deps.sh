#!/usr/bin/env bash
# Installs the Debian 12 packages Vostel needs to build, run and test, when any
# is missing. Sourced by run.sh and test.sh.
set -euo pipefail

VOSTEL_PACKAGES=(cmake make g++ qt6-base-dev libgl-dev libgtest-dev sharutils netbase clang libclang-rt-14-dev)

vostel_install_deps() {
  local missing=()
  for p in "${VOSTEL_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null 2>&1; then
      sudo=(sudo)
    else
      echo "error: these packages are missing and neither root nor sudo is available to install them:" >&2
      echo "  ${missing[*]}" >&2
      echo "Install them as root (apt-get install ${missing[*]}) and run this command again." >&2
      exit 1
    fi
  fi
  echo "Installing: ${missing[*]}"
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}
