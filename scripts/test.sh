#!/usr/bin/env bash
# Builds and runs every test: the native build with warnings as errors, the
# AddressSanitizer/UndefinedBehaviorSanitizer build, a bounded fuzz run and
# the static analysis when clang, cppcheck and clang-tidy are installed, and
# the Windows build under Wine when its toolchain is installed. .ci/run
# installs both and sets VRN_REQUIRE_ANALYSIS=1 and VRN_REQUIRE_WINDOWS=1 so
# that a missing tool is an error there.
#
#   VRN_FUZZ_SECONDS   time per fuzz target (default 60)
#   VRN_ANALYSIS=0     leaves out the fuzz run and the static analysis
#   VRN_WINDOWS_SUITE=0  leaves out the Windows suite
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --workflow --preset default
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  cmake --workflow --preset asan

have_analysis_tools() {
  { command -v clang++-14 || command -v clang++; } >/dev/null 2>&1 && command -v cppcheck >/dev/null 2>&1 \
    && { command -v run-clang-tidy-14 || command -v run-clang-tidy; } >/dev/null 2>&1
}
if [ "${VRN_ANALYSIS:-1}" != 1 ]; then
  echo "Fuzz run and static analysis not run (VRN_ANALYSIS=0)."
elif have_analysis_tools; then
  bash fuzz/run.sh "${VRN_FUZZ_SECONDS:-60}"
  bash scripts/static-analysis.sh
elif [ "${VRN_REQUIRE_ANALYSIS:-0}" = 1 ]; then
  echo "### ERROR: the analysis tools (clang-14, libclang-rt-14-dev, cppcheck, clang-tidy-14) are missing" >&2
  exit 1
else
  echo "Fuzz run and static analysis skipped: install clang-14, libclang-rt-14-dev, cppcheck and clang-tidy-14 to run them."
fi

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
