#!/usr/bin/env bash
# Builds and runs every test: the native build with warnings as errors, the
# AddressSanitizer/UndefinedBehaviorSanitizer build, and the Windows build
# under Wine when its toolchain is installed (.ci/run installs it and sets
# VRN_REQUIRE_WINDOWS=1 so that a missing toolchain is an error there).
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --workflow --preset default
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  cmake --workflow --preset asan

if [ "${VRN_WINDOWS_SUITE:-1}" != 1 ]; then
  echo "Windows suite not run (VRN_WINDOWS_SUITE=0)."
elif [ -f scripts/windows-tests.sh ] && command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 \
   && [ -x /usr/lib/wine/wine64 ]; then
  bash scripts/windows-tests.sh
elif [ "${VRN_REQUIRE_WINDOWS:-0}" = 1 ]; then
  echo "### ERROR: the Windows toolchain (g++-mingw-w64-x86-64-posix, wine64, googletest) is missing" >&2
  exit 1
else
  echo "Windows suite skipped: install g++-mingw-w64-x86-64-posix, wine64 and googletest to run it."
fi
