#!/usr/bin/env bash
# Runs the screenshot test on a virtual X server. A machine without Xvfb skips
# it; CI does not, since its test command installs Xvfb.
set -euo pipefail
if ! command -v xvfb-run >/dev/null 2>&1 || ! command -v Xvfb >/dev/null 2>&1 || ! command -v xauth >/dev/null 2>&1; then
  if [ "${CI:-}" = true ]; then
    echo "Xvfb is missing: scripts/test.sh installs it (packages xvfb and xauth)" >&2
    exit 1
  fi
  echo "Skipped: no Xvfb on this machine (apt-get install xvfb xauth to run this test)"
  exit 77
fi
# Under the sanitizers, the X11 libraries are not ours: the platform plugin
# keeps a D-Bus buffer for good, and libxkbcommon-x11 hands strndup names that
# end without a NUL, which strict string checks report.
export LSAN_OPTIONS="suppressions=$(dirname "$0")/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}strict_string_checks=0"
exec xvfb-run -a -s "-screen 0 1280x900x24" env QT_QPA_PLATFORM=xcb "$@"
