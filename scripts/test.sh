#!/usr/bin/env bash
# Installs what is missing, builds everything in build/ and runs the whole
# test suite through ctest. Extra arguments go to cmake's configure step,
# so a second tree can be built with other options (see .ci/run).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
vostel_install_deps
vostel_install_inn
build=${VOSTEL_BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
cmake --build "$build" -j"$(nproc)"
cd "$build"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$(nproc)" --timeout 300
