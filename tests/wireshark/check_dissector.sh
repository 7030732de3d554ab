#!/usr/bin/env bash
# The Wireshark dissector's checks, run by ctest: tshark decodes each capture
# named by a tests/wireshark/*.expect file and must show the values written
# there, the expert warnings at exactly the frames listed there, and no
# malformed frame where it says so; then a pcap of hostile datagrams must
# decode without a Lua error.
#
#   check_dissector.sh VRN_LUA CAPTURES_DIR CORPUS_PCAP_TOOL FUZZ_CORPUS_DIR
#
# Exit 77 (skipped) without tshark, unless VRN_REQUIRE_TSHARK=1.
#
# An .expect file holds lines of these kinds ('#' starts a comment):
#   capture FILE               the capture in CAPTURES_DIR
#   option NAME:VALUE          a preference for tshark's -o
#   warnings none | N N ...    the frames with an expert warning or error
#   decoded all                every frame is VRN and none is malformed
#   frame N FIELD VALUE        tshark -T fields output of FIELD in frame N
#                              (several occurrences joined by commas)
set -uo pipefail
lua=$1 captures=$2 corpus_tool=$3 corpus_dir=$4
here=$(cd "$(dirname "$0")" && pwd)

if ! command -v tshark > /dev/null 2>&1; then
  if [ "${VRN_REQUIRE_TSHARK:-0}" = 1 ]; then
    echo "### ERROR: tshark is not installed (VRN_REQUIRE_TSHARK=1)" >&2
    exit 1
  fi
  echo "tshark is not installed: the dissector checks are skipped"
  exit 77
fi
tshark --version | head -n 1

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# Runs tshark with the dissector, two passes; fails the check on a Lua error.
decode() {
  local what=$1
  shift
  if ! tshark -n -2 -X lua_script:"$lua" "$@" > "$work/out" 2> "$work/err"; then
    fail "$what: tshark exited non-zero: $(head -c 2000 "$work/err")"
  fi
  if grep -q "Lua" "$work/err" "$work/out"; then
    fail "$what: Lua error: $(grep -m 3 "Lua" "$work/err" "$work/out")"
  fi
}

for expect in "$here"/*.expect; do
  name=$(basename "$expect")
  capture=$(awk '$1 == "capture" { print $2 }' "$expect")
  options=()
  while read -r o; do options+=(-o "$o"); done < <(awk '$1 == "option" { print $2 }' "$expect")
  mapfile -t fields < <(awk '$1 == "frame" { print $3 }' "$expect" | sort -u)
  echo "$name: $capture (${#fields[@]} fields)"
  args=()
  for f in "${fields[@]}"; do args+=(-e "$f"); done

  decode "$name" "${options[@]}" -r "$captures/$capture" -T fields -E separator='|' -E occurrence=a \
    -E aggregator=, -e frame.number "${args[@]}"
  # Each "frame N FIELD VALUE" against column FIELD of frame N's line.
  awk -v fields="$(printf '%s\n' "${fields[@]}")" -v name="$name" '
    BEGIN { n = split(fields, list, "\n"); for (i = 1; i <= n; ++i) column[list[i]] = i + 1 }
    FNR == NR { split($0, cell, "|"); for (i = 2; i <= n + 1; ++i) shown[cell[1], i] = cell[i]; next }
    $1 == "frame" {
      value = ""
      if (NF > 3) { value = $0; sub(/^frame[ \t]+[0-9]+[ \t]+[^ \t]+[ \t]+/, "", value) }
      got = shown[$2, column[$3]]
      if (got != value) { printf "FAIL: %s: frame %s %s: expected \"%s\", tshark shows \"%s\"\n", name, $2, $3, value, got; bad++ }
      else checked++
    }
    END { printf "%s: %d values as expected\n", name, checked; exit bad > 0 }
  ' "$work/out" "$expect" || failures=$((failures + 1))

  wanted=$(awk '$1 == "warnings" { $1 = ""; print }' "$expect" | xargs)
  if [ -n "$wanted" ]; then
    decode "$name" "${options[@]}" -r "$captures/$capture" -T fields -E occurrence=a -E aggregator=, \
      -e frame.number -e _ws.expert.severity
    # Warning is 0x00600000, error 0x00800000.
    shown=$(awk -F'\t' '{ n = split($2, s, ","); for (i = 1; i <= n; ++i) if (s[i] + 0 >= 6291456) { print $1; break } }' \
      "$work/out" | xargs)
    [ "$wanted" = none ] && wanted=""
    if [ "$shown" != "$wanted" ]; then
      fail "$name: expert warnings at frames \"$shown\", expected at \"$wanted\""
    else
      echo "$name: expert warnings at frames: ${shown:-none}"
    fi
  fi

  if grep -q '^decoded all' "$expect"; then
    decode "$name" "${options[@]}" -r "$captures/$capture" -T fields -e frame.number \
      -Y '!vrn || vrn.expert.malformed || _ws.malformed'
    if [ -s "$work/out" ]; then
      fail "$name: frames not decoded or malformed: $(xargs < "$work/out" | head -c 300)"
    else
      echo "$name: every frame decoded, none malformed"
    fi
  fi
done

# Hostile datagrams: decoded with the whole tree, no Lua error, what cannot
# be decoded marked malformed.
if "$corpus_tool" "$work/corpus.pcap" 3011 "$corpus_dir"/*; then
  decode "corpus" -r "$work/corpus.pcap" -V
  frames=$(grep -c '^Frame [0-9]' "$work/out")
  malformed=$(grep -c 'Expert Info (Error/Malformed)' "$work/out")
  echo "corpus: $frames frames decoded, $malformed marked malformed"
  [ "$frames" -gt 0 ] && [ "$malformed" -gt 0 ] || fail "corpus: expected frames and malformed ones"
  # Each request kind is followed by its own bytes as the answer: the whole
  # 40-byte bus read request then stands for an answer of the wrong length.
  grep -q 'Answer of 40 bytes; its request (frame [0-9]*, bus read) wants 36' "$work/out" ||
    fail "corpus: no wrong-length warning for a 40-byte answer to a bus read"
else
  fail "corpus: $corpus_tool failed"
fi

if [ "$failures" -gt 0 ]; then
  echo "$failures dissector check(s) failed"
  exit 1
fi
echo "all dissector checks passed"
