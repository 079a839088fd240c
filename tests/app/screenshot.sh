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
# Under the leak checker: what the X11 platform plugin keeps is not ours.
export LSAN_OPTIONS="suppressions=$(dirname "$0")/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
exec xvfb-run -a -s "-screen 0 1280x900x24" env QT_QPA_PLATFORM=xcb "$@"
