#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) straight from the library sources and runs
# each for a bounded time from its seed corpus in fuzz/corpus/<target>.
#
#   bash fuzz/run.sh [seconds per target, default 30] [target...]
#
# New inputs go to build/fuzz/corpus/<target>, never into the repository;
# a crash leaves its input as build/fuzz/<target>-crash-* and makes the
# script fail.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_data_file fuzz_ack_path)

cxx=${FUZZ_CXX:-}
for c in clang++-14 clang++; do
  [ -n "$cxx" ] || ! command -v "$c" >/dev/null || cxx=$c
done
[ -n "$cxx" ] || { echo "### ERROR: clang++ is needed for the fuzz targets" >&2; exit 1; }

out=build/fuzz
mkdir -p "$out"
flags=(-std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
       -fno-omit-frame-pointer -Wall -Wextra -Werror -Ilib)

build() {
  case "$1" in
    fuzz_data_file)
      "$cxx" "${flags[@]}" -Itools/flash_w fuzz/fuzz_data_file.cpp tools/flash_w/data_file.cpp -o "$out/$1" ;;
    fuzz_ack_path)
      "$cxx" "${flags[@]}" -Ifuzz -Itests/support/clocked fuzz/fuzz_ack_path.cpp fuzz/answer_script.cpp \
        tests/support/clocked/fake_platform.cpp lib/platform/*.cpp lib/link/*.cpp lib/protocol/*.cpp lib/flash/*.cpp -o "$out/$1" ;;
    *) echo "### ERROR: no fuzz target $1" >&2; exit 1 ;;
  esac
}

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
for t in "${targets[@]}"; do
  echo "== $t: build"
  build "$t"
  mkdir -p "$out/corpus/$t"
  echo "== $t: $seconds s"
  status=0
  "$out/$t" "$out/corpus/$t" "fuzz/corpus/$t" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
    -max_len=4096 -artifact_prefix="$out/$t-" -print_final_stats=1 >"$out/$t.log" 2>&1 || status=$?
  tail -n 25 "$out/$t.log"
  [ "$status" -eq 0 ] || { echo "### ERROR: $t found a fault (log $out/$t.log, input $out/$t-*)" >&2; exit 1; }
done
