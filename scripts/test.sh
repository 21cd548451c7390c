#!/usr/bin/env bash
# Installs what is missing, builds, runs the whole test suite, then runs it again built with
# AddressSanitizer and UndefinedBehaviorSanitizer. Exits non-zero when anything fails.
#   QZ_SKIP_SANITIZE=1 scripts/test.sh   skips the sanitizer pass (quick local runs)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
start=$(date +%s)

"$root/scripts/deps.sh"

echo "== build (RelWithDebInfo)"
"$root/scripts/build.sh" build
echo "== ctest"
(cd build && ctest --output-on-failure -j2 --timeout 600)

if [ "${QZ_SKIP_SANITIZE:-0}" != "1" ]; then
  echo "== build (ASan + UBSan)"
  "$root/scripts/build.sh" build-asan -DQZ_SANITIZE=ON -DQZ_BUILD_BENCH=OFF
  echo "== ctest (ASan + UBSan)"
  (cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
     UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
     ctest --output-on-failure -j2 --timeout 900)
fi

echo "== all tests passed in $(( $(date +%s) - start )) s"
