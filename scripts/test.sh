#!/usr/bin/env bash
# Installs the dependencies, builds btsetter three ways (normal, with
# AddressSanitizer + UndefinedBehaviorSanitizer, and the Windows executable)
# and runs the whole test suite on the first two; the Windows executable is
# tested under Wine from the normal tree.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

bash scripts/install-deps.sh --windows

bash scripts/build.sh build-win -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release
bash scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBTSETTER_WIN_BUILD_DIR="$top/build-win"
bash scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DBTSETTER_SANITIZE=ON

# Most tests wait on the simulated module rather than the processor, so they
# run well in parallel even on two cores.
jobs=$(( $(nproc) * 4 ))
status=0
(cd build && ctest --output-on-failure -j "$jobs" --timeout 300) || status=1
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --output-on-failure -j "$jobs" --timeout 600) || status=1
exit $status
