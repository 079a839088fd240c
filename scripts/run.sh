#!/usr/bin/env bash
# Installs what is missing, builds Vostel in build/ and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
vostel_install_deps
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)" --target vostel
exec build/app/vostel "$@"
