#!/usr/bin/env bash
# Builds and runs every test: the native build with warnings as errors, the
# AddressSanitizer/UndefinedBehaviorSanitizer build, a bounded fuzz run and
# the static analysis, the Windows build under Wine, and the package checks
# (the .deb and the Windows zip, installed and run). First it installs the
# Debian packages these need (scripts/packages.sh). .ci/run sets
# VRN_REQUIRE_ANALYSIS=1, VRN_REQUIRE_WINDOWS=1 and VRN_REQUIRE_PACKAGING=1
# so that a part that cannot run is an error there.
#
#   VRN_NO_INSTALL=1     installs nothing; parts whose tools are missing are left out
#   VRN_FUZZ_SECONDS     time per fuzz target (default 60)
#   VRN_ANALYSIS=0       leaves out the fuzz run and the static analysis
#   VRN_WINDOWS_SUITE=0  leaves out the Windows suite
#   VRN_PACKAGE_CHECK=0  leaves out the package checks
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh

groups=(native python dissector)
[ "${VRN_ANALYSIS:-1}" != 1 ] || groups+=(analysis)
[ "${VRN_WINDOWS_SUITE:-1}" != 1 ] || groups+=(windows)
[ "${VRN_PACKAGE_CHECK:-1}" != 1 ] || groups+=(packaging)
vrn_install_packages "the tests" "${groups[@]}"
command -v tshark >/dev/null 2>&1 ||
  echo "The native suites skip the dissector checks: tshark is missing (Debian package: $(vrn_packages dissector | xargs))."

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

# Each check prints why the part cannot run, or nothing when it can.
analysis_tools_missing() {
  { { command -v clang++-14 || command -v clang++; } >/dev/null 2>&1 && command -v cppcheck >/dev/null 2>&1 \
    && { command -v run-clang-tidy-14 || command -v run-clang-tidy; } >/dev/null 2>&1; } \
    || echo "its tools are missing (Debian packages: $(vrn_packages analysis | xargs))"
}
run_analysis() {
  bash fuzz/run.sh "${VRN_FUZZ_SECONDS:-60}"
  bash scripts/static-analysis.sh
}
windows_tools_missing() {
  { command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 && [ -x /usr/lib/wine/wine64 ]; } \
    || echo "its tools are missing (Debian packages: $(vrn_packages windows | xargs))"
}
run_windows() { bash scripts/windows-tests.sh; }
packaging_missing() {
  if [ "$(id -u)" != 0 ]; then
    echo "they install the .deb with apt-get and need root"
  elif ! command -v apt-get >/dev/null 2>&1 || ! command -v lintian >/dev/null 2>&1 \
       || ! command -v dpkg-shlibdeps >/dev/null 2>&1 || ! command -v file >/dev/null 2>&1; then
    echo "apt-get or the packaging tools are missing (Debian packages: $(vrn_packages packaging | xargs))"
  fi
}
run_packaging() { bash scripts/package-tests.sh; }

# An optional part: what it is, its switch (1 or unset runs it), whether a
# part that cannot run is an error (1), the check, and how to run it.
optional_part() {
  local what="$1" switch="$2" required="$3" check="$4" run="$5" why
  if [ "${!switch:-1}" != 1 ]; then
    echo "$what not run ($switch=0)."
    return 0
  fi
  why="$("$check")"
  if [ -z "$why" ]; then
    "$run"
  elif [ "$required" = 1 ]; then
    echo "### ERROR: $what cannot run: $why" >&2
    exit 1
  else
    echo "$what left out: $why."
  fi
}

optional_part "Fuzz run and static analysis" VRN_ANALYSIS "${VRN_REQUIRE_ANALYSIS:-0}" analysis_tools_missing run_analysis
optional_part "Windows suite" VRN_WINDOWS_SUITE "${VRN_REQUIRE_WINDOWS:-0}" windows_tools_missing run_windows
optional_part "Package checks" VRN_PACKAGE_CHECK "${VRN_REQUIRE_PACKAGING:-0}" packaging_missing run_packaging
