#!/usr/bin/env bash
# Installs a built tree into a temporary prefix and checks what lands there:
# the program and vostel-walk in bin/, the walker's manual page, the menu
# entry, the AppStream description (valid) and the icons in share/. Then
# starts the
# installed program, offscreen, as a user who cannot write its bin/ folder,
# and checks that it made its settings folder in that user's configuration
# folder and wrote nothing beside the program.
#   install_check.sh CMAKE BUILD_DIR
set -euo pipefail
cmake=$1 build=$2

top=$(mktemp -d)
pid=
# Every process the check starts carries this mark in its environment, so it
# finds the program wherever runuser put it, and whatever the program started.
mark=VOSTEL_INSTALL_CHECK=$top
started() {
  local p
  for p in /proc/[0-9]*; do
    grep -qzxF "$mark" "$p/environ" 2>/dev/null && echo "${p#/proc/}"
  done
  return 0
}
cleanup() {
  local left
  left=$(started)
  # shellcheck disable=SC2086
  [ -z "$left" ] || kill -KILL $left 2>/dev/null
  [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null
  chmod -R u+w "$top"
  rm -rf "$top"
}
trap cleanup EXIT
fail() {
  echo "install check: $*" >&2
  exit 1
}

prefix=$top/prefix
"$cmake" --install "$build" --prefix "$prefix" >/dev/null

[ -x "$prefix/bin/vostel" ] || fail "no bin/vostel"
[ -x "$prefix/bin/vostel-walk" ] || fail "no bin/vostel-walk"
[ -f "$prefix/share/man/man1/vostel-walk.1" ] || fail "no share/man/man1/vostel-walk.1"
"$prefix/bin/vostel-walk" --help | grep -q '^Exit status:' || fail "vostel-walk --help says no exit status"
desktop=$prefix/share/applications/vostel.desktop
[ -f "$desktop" ] || fail "no share/applications/vostel.desktop"
for key in 'Type=Application' 'Exec=vostel' 'Icon=vostel' 'Name=Vostel'; do
  grep -qx "$key" "$desktop" || fail "vostel.desktop lacks $key"
done
for size in 16 22 24 32 48 64 128 256; do
  icon=$prefix/share/icons/hicolor/${size}x${size}/apps/vostel.png
  [ -f "$icon" ] || fail "no icon of ${size}x${size}"
  # The PNG signature, then the IHDR chunk's width and height.
  expected=$(printf '89504e470d0a1a0a0000000d49484452%08x%08x' "$size" "$size")
  [ "$(od -An -tx1 -N24 "$icon" | tr -d ' \n')" = "$expected" ] || fail "$icon is no ${size}x${size} PNG"
done
svg=$prefix/share/icons/hicolor/scalable/apps/vostel.svg
[ -f "$svg" ] || fail "no scalable icon"
grep -q '<svg' "$svg" || fail "$svg is no SVG"
metainfo=$prefix/share/metainfo/org.vostel.Vostel.metainfo.xml
[ -f "$metainfo" ] || fail "no share/metainfo/org.vostel.Vostel.metainfo.xml"
grep -q '<launchable type="desktop-id">vostel.desktop</launchable>' "$metainfo" ||
  fail "the metainfo does not name vostel.desktop"
appstreamcli validate --pedantic --no-net "$metainfo" >"$top/validate" 2>&1 || {
  cat "$top/validate" >&2
  fail "the metainfo is not valid"
}
# Pedantic notes too, but one: the id keeps the capital of the program's
# name, which installed copies and software centres know it by.
if grep -E '^[EWIP]:' "$top/validate" | grep -v 'cid-contains-uppercase-letter' >&2; then
  fail "the metainfo has notes beyond the id's capital letter"
fi
if command -v desktop-file-validate >/dev/null 2>&1; then
  desktop-file-validate "$desktop" || fail "vostel.desktop is not valid"
fi

# The user: root may write anywhere, so root runs the program as nobody;
# anyone else takes away their own right to write bin/.
home=$top/home
mkdir -p "$home/runtime"
chmod 700 "$home/runtime"
run=()
if [ "$(id -u)" -eq 0 ]; then
  chmod 755 "$top"
  chown -R nobody "$home"
  run=(runuser -u nobody --)
else
  chmod a-w "$prefix/bin"
fi
before=$(ls -A "$prefix/bin")
settings=$home/config/Vostel
"${run[@]}" env -i "$mark" PATH=/usr/bin:/bin HOME="$home" XDG_CONFIG_HOME="$home/config" \
  XDG_RUNTIME_DIR="$home/runtime" QT_QPA_PLATFORM=offscreen \
  ${ASAN_OPTIONS:+ASAN_OPTIONS=$ASAN_OPTIONS} ${UBSAN_OPTIONS:+UBSAN_OPTIONS=$UBSAN_OPTIONS} \
  "$prefix/bin/vostel" >"$top/out" 2>&1 &
pid=$!
for _ in $(seq 100); do
  [ -d "$settings" ] && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
sleep 1 # the main window is up by now
kill -0 "$pid" 2>/dev/null || { cat "$top/out" >&2; fail "the installed vostel exited at start-up"; }

# The program itself is ended: under runuser it is a child that outlives
# runuser. Nothing the check started may still run when it is done.
program=$(started)
[ -n "$program" ] || fail "the installed vostel is not running"
# shellcheck disable=SC2086
kill -TERM $program
for _ in $(seq 100); do
  [ -z "$(started)" ] && ! kill -0 "$pid" 2>/dev/null && break
  sleep 0.1
done
left=$({
  started
  if kill -0 "$pid" 2>/dev/null; then echo "$pid"; fi
} | paste -sd,)
[ -z "$left" ] || fail "still running after the check: $(ps -o pid=,user=,args= -p "$left" | tr '\n' ';')"
wait "$pid" 2>/dev/null || true
pid=

[ -d "$settings" ] || fail "the installed vostel made no settings folder $settings"
[ "$(ls -A "$prefix/bin")" = "$before" ] || fail "the installed vostel wrote beside itself: $(ls -A "$prefix/bin")"
echo "install check passed: $(cd "$prefix" && find . -type f | sort | tr '\n' ' ')"
