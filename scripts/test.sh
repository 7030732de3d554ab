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

# A failed suite ends with what each failing test said, so that the last
# lines of a long log are enough to see why.
workflow() {
  local preset="$1"
  cmake --workflow --preset "$preset" && return 0
  local log="build/$preset/Testing/Temporary/LastTest.log"
  if [ -f "$log" ]; then
    echo "=== What the failing tests of the $preset suite said ==="
    grep -a -E -A8 "Failure\$|VIOLATION|\[  FAILED  \]" "$log" | grep -a -v "^\[ *OK *\]" | head -300 || true
  fi
  return 1
}

workflow default
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 workflow asan

have_analysis_tools() {
  { command -v clang++-14 || command -v clang++; } >/dev/null 2>&1 && command -v cppcheck >/dev/null 2>&1 \
    && { command -v run-clang-tidy-14 || command -v run-clang-tidy; } >/dev/null 2>&1
}
run_analysis() {
  bash fuzz/run.sh "${VRN_FUZZ_SECONDS:-60}"
  bash scripts/static-analysis.sh
}
have_windows_tools() {
  [ -f scripts/windows-tests.sh ] && command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 \
    && [ -x /usr/lib/wine/wine64 ]
}
run_windows() { bash scripts/windows-tests.sh; }

# An optional part: what it is, its switch (VRN_ANALYSIS, VRN_WINDOWS_SUITE:
# 1 or unset runs it), whether a missing tool is an error (1), the tool
# check, how to run it, what is missing, and the packages to install.
optional_part() {
  local what="$1" switch="$2" required="$3" have="$4" run="$5" missing="$6" packages="$7"
  if [ "${!switch:-1}" != 1 ]; then
    echo "$what not run ($switch=0)."
  elif "$have"; then
    "$run"
  elif [ "$required" = 1 ]; then
    echo "### ERROR: $missing" >&2
    exit 1
  else
    echo "$what skipped: install $packages to run it."
  fi
}

optional_part "Fuzz run and static analysis" VRN_ANALYSIS "${VRN_REQUIRE_ANALYSIS:-0}" have_analysis_tools \
  run_analysis "the analysis tools (clang-14, libclang-rt-14-dev, cppcheck, clang-tidy-14) are missing" \
  "clang-14, libclang-rt-14-dev, cppcheck and clang-tidy-14"
optional_part "Windows suite" VRN_WINDOWS_SUITE "${VRN_REQUIRE_WINDOWS:-0}" have_windows_tools run_windows \
  "the Windows toolchain (g++-mingw-w64-x86-64-posix, wine64, googletest) is missing" \
  "g++-mingw-w64-x86-64-posix, wine64 and googletest"
