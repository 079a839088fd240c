#!/usr/bin/env bash
# The settings file of a first run: the demo news server on 127.0.0.1:PORT
# and its group vostel.demo, fetched at full speed (no pacing between
# requests), with downloads going to news/ beside the file. A settings file
# that is there already (the program matches its name without regard to
# case), whatever it lists, is left alone.
#   demo-settings.sh APP_DIR PORT
set -euo pipefail
app_dir=$1 port=$2
if [ -n "$(find "$app_dir" -maxdepth 1 -iname vostel.ini -print -quit)" ]; then
  exit 0
fi
mkdir -p "$app_dir/news"
news=$(cd "$app_dir/news" && pwd)/
printf '%s\r\n' '[CONFIG]' 'DEFEXT=mid' 'MINLINES=100' 'MAXLINES=50000' "PATH=$news" \
  '' '[SERVER]' "S=127.0.0.1:$port" '' '[GROUPS]' 'G=vostel.demo' \
  '' "[SERVER 127.0.0.1:$port]" 'CONNECTIONS=4' 'INFLIGHT=4' 'PACING=0' >"$app_dir/VOSTEL.INI"
echo "Wrote $app_dir/VOSTEL.INI: server 127.0.0.1:$port, group vostel.demo, downloads into $app_dir/news/"
