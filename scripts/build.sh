#!/usr/bin/env bash
# Configures and builds the project.
#   scripts/build.sh                 build/ (RelWithDebInfo)
#   scripts/build.sh DIR [CMAKE...]  another build directory with extra CMake options,
#                                    e.g. scripts/build.sh build-asan -DQZ_SANITIZE=ON
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh"

dir=${1:-build}
[ $# -gt 0 ] && shift
case "$dir" in /*) ;; *) dir="$root/$dir" ;; esac
jobs=${QZ_JOBS:-$(nproc)}

cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQZ_BUILD_BENCH=ON "$@" >/dev/null
cmake --build "$dir" -j "$jobs"
