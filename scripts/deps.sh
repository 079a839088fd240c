#!/usr/bin/env bash
# Installs the Debian 12 packages Vostel needs to build, run and test, when any
# is missing. Sourced by run.sh and test.sh.
set -euo pipefail

# python3 with python3-yenc and python3-sabyenc: interop tests and the yEnc
# benchmark; xvfb and xauth: the screenshot test shows the main window on a
# virtual X server; libssl-dev and ca-certificates: TLS to news servers;
# qtkeychain-qt6-dev: server passwords in the desktop's keychain; openssl:
# the test news server's throw-away certificates; par2: verifies and repairs
# the PAR2 sets a walk saves; appstream: the install check validates the
# AppStream description; zlib1g-dev: compressed transfers with news servers.
VOSTEL_PACKAGES=(cmake make g++ qt6-base-dev libgl-dev libgtest-dev sharutils netbase clang libclang-rt-14-dev
  libssl-dev ca-certificates qtkeychain-qt6-dev openssl python3 python3-yenc python3-sabyenc xvfb xauth par2
  appstream zlib1g-dev)

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

# The news server that the end-to-end test starts a private instance of
# (tests/inn/inn_harness.py). Installed only when we run as root: without it
# that test skips, and a plain user's test run should not ask for a password.
# The package's own server is never started, and the machine's /etc/hosts and
# /etc/news are left as the package makes them.
vostel_install_inn() (
  set -euo pipefail
  [ "$(id -u)" -eq 0 ] || exit 0
  installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
  installed inn2 && exit 0

  local tmp policy=/usr/sbin/policy-rc.d policy_saved=""
  tmp=$(mktemp -d)
  cleanup() {
    if [ -n "$policy_saved" ]; then
      mv -f "$policy_saved" "$policy"
    elif [ -f "$tmp/policy-ours" ]; then
      rm -f "$policy"
    fi
    rm -rf "$tmp"
  }
  trap cleanup EXIT

  # The postinst would start the system's innd: deny every service start
  # while we install, through a policy of our own unless one denies already.
  if [ -e "$policy" ] && { "$policy" inn2 start >/dev/null 2>&1; [ $? -eq 101 ]; }; then
    :
  else
    if [ -e "$policy" ]; then
      policy_saved="$tmp/policy-rc.d.saved"
      cp -p "$policy" "$policy_saved"
    fi
    printf '#!/bin/sh\n# Written by Vostel'"'"'s test set-up while it installs inn2.\nexit 101\n' >"$policy"
    chmod 755 "$policy"
    touch "$tmp/policy-ours"
  fi

  echo "Installing inn2 for the end-to-end news server test"
  apt-get update -qq
  # inn.conf comes with inn2-inews, which inn2 pre-depends on; get it first
  # so the inn2 postinst can read a copy of it.
  if ! installed inn2-inews; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends inn2-inews
    apt-mark auto inn2-inews >/dev/null
  fi
  # The postinst asks innconfval for paths, which fails when the host name
  # has no domain ("hostname does not resolve or domain not set in
  # inn.conf"). It reads INNCONF, so it gets a copy that names a domain.
  cp /etc/news/inn.conf "$tmp/inn.conf"
  grep -q '^[[:space:]]*domain:' "$tmp/inn.conf" || echo 'domain: localdomain' >>"$tmp/inn.conf"
  export INNCONF="$tmp/inn.conf" DEBIAN_FRONTEND=noninteractive
  apt-get install -y -qq --no-install-recommends inn2
  # A half-configured inn2 left by an earlier failed attempt is not
  # configured again by apt-get install when it is already unpacked.
  installed inn2 || dpkg --configure inn2
  installed inn2 || { echo "error: inn2 could not be installed" >&2; exit 1; }
)
