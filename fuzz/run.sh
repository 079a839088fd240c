#!/usr/bin/env bash
# Builds every fuzz target (fuzz/*_fuzz.cpp) with clang in build-fuzz/ and runs
# each in turn on its corpus, sharing a bounded time (FUZZ_SECONDS, 60 s in all
# by default, at least 5 s a target). Fails on any crash, sanitizer report or
# broken check. A crasher is left as build-fuzz/<name>-crash-*; once fixed, it
# goes into fuzz/corpus/<name>/ so every later run tries it first.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${VOSTEL_FUZZ_BUILD_DIR:-build-fuzz}
seconds=${FUZZ_SECONDS:-60}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DVOSTEL_FUZZ=ON -DVOSTEL_SANITIZE=address,undefined >/dev/null
cmake --build "$build" -j2 --target fuzz

names=()
for src in fuzz/*_fuzz.cpp; do
  names+=("$(basename "$src" _fuzz.cpp)")
done
each=$((seconds / ${#names[@]}))
[ "$each" -ge 5 ] || each=5

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export LSAN_OPTIONS="suppressions=$root/fuzz/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for name in "${names[@]}"; do
  echo "== fuzz $name: ${each} s =="
  # New inputs go to the build's folder; the repository's seeds are read only.
  mkdir -p "$build/corpus/$name" "fuzz/corpus/$name"
  # fuzz/<name>.flags, when there, adds libFuzzer flags of that target's own.
  flags=()
  [ ! -f "fuzz/$name.flags" ] || read -ra flags <"fuzz/$name.flags"
  "$build/fuzz/${name}_fuzz" -max_total_time="$each" -timeout=10 -rss_limit_mb=2048 -max_len=8192 \
    -print_final_stats=1 -artifact_prefix="$build/$name-" "${flags[@]}" "$build/corpus/$name" "fuzz/corpus/$name"
done
