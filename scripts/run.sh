#!/usr/bin/env bash
# Installs what is missing, builds Vostel in build/ and starts it, together
# with the demo news server on 127.0.0.1:11119 (group vostel.demo). The first
# run writes a settings file that lists that server and group. Closing Vostel,
# or Ctrl-C here, stops the demo server.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
vostel_install_deps
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)" --target vostel demo-server

demo_port=11119
app_dir=build/app
demo_log=build/tools/demo-server/demo-server.log
server_pid=
vostel_pid=

stop_all() {
  local pid
  for pid in $vostel_pid $server_pid; do
    kill "$pid" 2>/dev/null || true
  done
  wait 2>/dev/null || true
}
trap stop_all EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# The demo server's first line says that it serves; exit code 3 says that
# the port is taken (by an earlier demo server, say, which serves as well).
build/tools/demo-server/demo-server --port "$demo_port" >"$demo_log" 2>&1 &
server_pid=$!
for ((tries = 0; ; ++tries)); do
  if grep -q '^Demo news server on' "$demo_log"; then
    grep '^Demo news server on' "$demo_log"
    break
  fi
  if ! kill -0 "$server_pid" 2>/dev/null || ((tries >= 300)); then
    kill "$server_pid" 2>/dev/null || true
    status=0
    wait "$server_pid" 2>/dev/null || status=$?
    server_pid=
    if ((status == 3)); then
      echo "Port $demo_port is taken, so the demo news server is not started; starting vostel alone."
    else
      echo "The demo news server did not start (see $demo_log); starting vostel alone."
    fi
    break
  fi
  sleep 0.1
done

# A first run gets a settings file that lists the demo server; an existing
# one, whatever it lists, is left alone.
scripts/demo-settings.sh "$app_dir" "$demo_port"

# In the background, so that a signal to this script is handled at once.
"$app_dir/vostel" "$@" &
vostel_pid=$!
status=0
wait "$vostel_pid" || status=$?
vostel_pid=
exit "$status"
