#!/usr/bin/env bash
# cppcheck and clang-tidy over the library, the programs and the simulator,
# with a small set of checks that find bugs rather than style. Fails on any
# finding. Takes about a minute on two cores.
#
# clang-tidy checks: bugprone-*, clang-analyzer-*, performance-*,
# misc-redundant-expression, misc-misplaced-const,
# readability-misleading-indentation, less these, which only find what the
# code does on purpose here:
#   bugprone-easily-swappable-parameters   the library's signatures are fixed
#   bugprone-narrowing-conversions,
#   bugprone-implicit-widening-of-multiplication-result
#                                          int arithmetic on wire words by design
#   bugprone-branch-clone                  tables such as errno -> WinSock codes map
#                                          several values to one result
#   performance-no-int-to-ptr              handles are integers that hold pointers
#   performance-inefficient-string-concatenation   message building off the hot path
# The tests stay out: GoogleTest makes clang-tidy take several minutes.
#
# cppcheck: warning, performance and portability, with two findings
# suppressed where they are false (see the suppressions below).
set -euo pipefail
cd "$(dirname "$0")/.."

command -v cppcheck >/dev/null || { echo "### ERROR: cppcheck is not installed" >&2; exit 1; }
tidy=$(command -v run-clang-tidy-14 || command -v run-clang-tidy || true)
[ -n "$tidy" ] || { echo "### ERROR: run-clang-tidy (clang-tidy) is not installed" >&2; exit 1; }
cxx=$(command -v clang++-14 || command -v clang++ || true)

status=0

echo "== cppcheck"
# streams.cpp: the pointer that may be null is used only on the other
# branch of the conditional. wire.cpp: refuse() passes two numbers to every
# format, which uses at most two; the rest are ignored, as C defines.
cppcheck --enable=warning,performance,portability --std=c++20 --language=c++ --quiet -j2 \
  --error-exitcode=1 --inline-suppr -I lib -I sim -I tools -I tools/flash_w -I tools/info -I tools/scan \
  --suppress=missingIncludeSystem \
  --suppress=nullPointerArithmetic:lib/protocol/streams.cpp \
  --suppress=wrongPrintfScanfArgNum:sim/wire.cpp \
  lib sim tools || status=1

echo "== clang-tidy"
checks='-*,bugprone-*,-bugprone-easily-swappable-parameters,-bugprone-narrowing-conversions'
checks+=',-bugprone-implicit-widening-of-multiplication-result,-bugprone-branch-clone'
checks+=',clang-analyzer-*,performance-*,-performance-no-int-to-ptr,-performance-inefficient-string-concatenation'
checks+=',misc-redundant-expression,misc-misplaced-const,readability-misleading-indentation'
cmake -S . -B build/tidy -DCMAKE_EXPORT_COMPILE_COMMANDS=ON ${cxx:+-DCMAKE_CXX_COMPILER=$cxx} \
  -DVRN_BUILD_BENCH=OFF >/dev/null
log=build/tidy/clang-tidy.log
"$tidy" -p build/tidy -j 2 -quiet -checks="$checks" "$PWD/(lib|sim|tools)/" >"$log" 2>&1 || true
if grep -E "(warning|error): " "$log"; then
  status=1
fi

if [ "$status" -ne 0 ]; then
  echo "### ERROR: static analysis found something (clang-tidy log: $log)" >&2
  exit 1
fi
echo "static analysis: nothing found"
