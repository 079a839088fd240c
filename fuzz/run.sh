#!/usr/bin/env bash
# Builds the fuzz targets with clang in build-fuzz/ and runs each for a
# bounded time (FUZZ_SECONDS, 60 s in all by default). Fails on any crash,
# sanitizer report or broken round trip.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${VOSTEL_FUZZ_BUILD_DIR:-build-fuzz}
seconds=${FUZZ_SECONDS:-60}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DVOSTEL_FUZZ=ON >/dev/null
cmake --build "$build" -j2 --target codec_fuzz

# New inputs go to a copy, so the seeds in the repository stay as they are.
corpus="$build/corpus/codec"
mkdir -p "$corpus"
cp -n fuzz/corpus/codec/* "$corpus"/ 2>/dev/null || true

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
"$build/fuzz/codec_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -max_len=8192 -print_final_stats=1 -artifact_prefix="$build/" "$corpus"
