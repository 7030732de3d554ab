#!/usr/bin/env bash
# The packages, installed and used as a user would (scripts/test.sh runs
# this as root):
#  1. the .deb (cmake --workflow --preset package), lintian clean of errors;
#  2. installed with apt-get; from a clean temporary folder, the installed
#     vrnprog writes the NetCfg example through the installed vrnsim and the
#     installed vrnstat shows it; tshark finds the installed dissector;
#  3. a project of ten lines (tests/install/consumer) configures against the
#     installed CMake package, links vrntools::vrn and runs against vrnsim;
#  4. the zip of the Windows programs (cpack --preset zip on the mingw
#     build), unpacked, its programs run under Wine against the installed
#     Linux ones (scripts/windows-tests.sh --installed), unless
#     VRN_WINDOWS_SUITE=0 or the toolchain is missing.
# A vrntools package that was not installed before is removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
source scripts/sim.sh

t_start=$SECONDS
phase() { echo "== $1 ($((SECONDS - t_start)) s)"; }
fail() { echo "### ERROR: $1" >&2; exit 1; }
# Runs a command with its output in a log, shown only when it fails.
quiet() {
  local log="$work/step.log"
  "$@" >"$log" 2>&1 || { cat "$log" >&2; fail "$* failed"; }
}
installed() { [ "$(dpkg-query -W -f='${db:Status-Status}' vrntools 2>/dev/null)" = installed ]; }

work="$(mktemp -d)"
was_installed=0
installed && was_installed=1
cleanup() {
  vrn_stop_sims "$work"
  if [ "$was_installed" = 0 ] && installed; then
    dpkg --remove vrntools >/dev/null 2>&1 || echo "### ERROR: could not remove the vrntools package again" >&2
  fi
  rm -rf "$work"
}
trap cleanup EXIT

phase "the .deb"
rm -f build/package/vrntools_*.deb
quiet cmake --workflow --preset package
deb="$(echo build/package/vrntools_*.deb)"
[ -f "$deb" ] || fail "cpack made no .deb"
dpkg-deb --field "$deb" Package Version Depends

phase "lintian"
lintian --fail-on error "$deb" 2>&1 | grep -v "running with root privileges" || true
lintian --fail-on error "$deb" >/dev/null 2>&1 || fail "lintian found errors in $deb"

phase "apt-get install ./$(basename "$deb")"
quiet apt-get install -y -qq --reinstall -o DPkg::Lock::Timeout=300 "$root/$deb"

phase "the installed programs, from a clean folder"
mkdir "$work/clean"
cd "$work/clean"
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
for p in vrnprog vrnstat vrndump vrnrec vrnsim; do
  [ "$(command -v "$p")" = "/usr/bin/$p" ] || fail "$p is not installed in /usr/bin"
done
cp "$root/examples/netcfg.dat" .
vrn_start_sim vrnsim "$work" deb
vrnprog 127.0.0.1 "$sim_port" 2 netcfg.dat </dev/null >prog.out 2>&1 || { cat prog.out; fail "vrnprog failed"; }
vrnstat 127.0.0.1 "$sim_port" </dev/null >stat.out 2>&1 || { cat stat.out; fail "vrnstat failed"; }
vrnrec show netcfg.dat >record.out || fail "vrnrec show failed"
# vrnstat shows the record exactly as vrnrec shows the file that was written.
[[ "$(cat stat.out)" == *"$(cat record.out)"* ]] || { cat stat.out; fail "vrnstat does not show the record written"; }
echo "vrnprog wrote netcfg.dat, vrnstat shows it ($(wc -l <record.out) lines of the record)"
if command -v tshark >/dev/null 2>&1; then
  tshark -G protocols 2>/dev/null | grep -q "$(printf '\tvrn$')" \
    || fail "tshark does not load the dissector from $(dpkg -L vrntools | grep 'vrn\.lua$')"
  echo "tshark loads the dissector from $(dpkg -L vrntools | grep 'vrn\.lua$')"
fi

phase "manual pages, bash completion and --version of the installed programs"
programs=(vrnprog vrnstat vrndump vrnrec vrnscan vrnsim)
version="$(dpkg-query -W -f='${Version}' vrntools)"
# The long options a --help text lists, sorted, one a line.
help_options() { "$@" --help | grep -o -- '--[a-z][a-z-]*' | sort -u; }
# What Tab offers after the words given (the last one being completed), in
# a shell that loads the completion as bash-completion does for a user.
completions() {
  bash -c 'source /usr/share/bash-completion/bash_completion
    __load_completion "$1" || exit 1
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
    spec="$(complete -p "$1")"; function="${spec##*-F }"; function="${function%% *}"
    "$function" "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf "%s\n" "${COMPREPLY[@]}" | sort -u | grep . || true' _ "$@"
}
# Fails unless completing the words offers exactly the lines of $1.
expect_completion() {
  local want="$1" got
  shift
  got="$(completions "$@")" || fail "no completion loaded for $1"
  [ "$got" = "$want" ] || fail "completing '$*' offers $(echo $got), not $(echo $want)"
}
for p in "${programs[@]}"; do
  page="$(man -w "$p" 2>/dev/null)" || fail "man $p finds no page"
  [ "$page" = "/usr/share/man/man1/$p.1.gz" ] || fail "man $p finds $page"
  # As a user sees it; groff's warnings (bad roff) fail the check.
  man -E ascii -l --warnings "$page" >"$p.page" 2>"$p.warnings" || { cat "$p.warnings"; fail "$page does not render"; }
  [ ! -s "$p.warnings" ] || { cat "$p.warnings"; fail "$page renders with warnings"; }
  for section in NAME SYNOPSIS DESCRIPTION "EXIT STATUS" EXAMPLES "SEE ALSO"; do
    grep -q "^$section" "$p.page" || fail "$page has no section $section"
  done
  [ "$("$p" --version)" = "$p $version" ] || fail "$p --version says '$("$p" --version)', not '$p $version'"
  if [ "$p" = vrnrec ]; then
    expect_completion "$(printf 'icr\nnetcfg\nshow')" vrnrec ""
    options="$(help_options vrnrec)"
    for command in netcfg icr show; do
      expect_completion "$(help_options vrnrec "$command")" vrnrec "$command" --
      options+=" $(help_options vrnrec "$command")"
    done
  else
    options="$(help_options "$p")"
    expect_completion "$options" "$p" --
  fi
  for option in $options; do
    grep -q -- "$option" "$p.page" || fail "$page does not describe $option"
  done
done
if lintian "$root/$deb" 2>&1 | grep -E 'manpage|manual-page|groff|bash-completion'; then
  fail "lintian has the complaints above about the manual pages or the completion"
fi
# The values the completion knows, and files where a file is expected.
for p in vrnprog vrnstat vrndump vrnscan; do expect_completion auto "$p" --wait ""; done
expect_completion auto vrnprog --wait = a  # bash splits "--wait=a" at the "="
expect_completion netcfg.dat vrnprog --backup net
expect_completion netcfg.dat vrnprog 127.0.0.1 3011 2 net
expect_completion "" vrnprog 127.0.0.1 3011 net
expect_completion netcfg.dat vrndump --wait auto 127.0.0.1 3011 2 152 net
expect_completion netcfg.dat vrnrec show net
expect_completion netcfg.dat vrnrec netcfg --from net
expect_completion "$(printf 'icr\nnetcfg')" vrnrec show --as ""
expect_completion netcfg.dat vrnsim --flash net
echo "${#programs[@]} manual pages render, the completion offers what --help lists, --version says $version"

phase "a project built against the installed package"
cp -r "$root/tests/install/consumer" "$work/consumer"
quiet cmake -S "$work/consumer" -B "$work/consumer/build"
quiet cmake --build "$work/consumer/build"
"$work/consumer/build/app" "127.0.0.1:$sim_port" >app.out 2>&1 || { cat app.out; fail "the consumer's program failed"; }
# It prints the flash chip's description, which vrnstat prints too.
[ -s app.out ] && [[ "$(cat stat.out)" == *"$(cat app.out)"* ]] || { cat app.out; fail "the consumer's program printed something else"; }
cat app.out
cd "$root"

if [ "${VRN_WINDOWS_SUITE:-1}" != 1 ]; then
  echo "The zip of the Windows programs not checked (VRN_WINDOWS_SUITE=0)."
  exit 0
fi
if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || [ ! -x /usr/lib/wine/wine64 ]; then
  [ "${VRN_REQUIRE_WINDOWS:-0}" != 1 ] || fail "the zip of the Windows programs cannot be checked: no mingw-w64 or Wine"
  echo "The zip of the Windows programs not checked: the mingw-w64 toolchain or Wine is missing."
  exit 0
fi
phase "the zip of the Windows programs"
quiet cmake --preset mingw
rm -f build/mingw/vrntools-*.zip
quiet cpack --preset zip
zip="$(echo build/mingw/vrntools-*.zip)"
[ -f "$zip" ] || fail "cpack made no zip"
mkdir "$work/zip"
(cd "$work/zip" && cmake -E tar xf "$root/$zip")
bin="$(echo "$work"/zip/vrntools-*/bin)"
ls "$bin"
bash scripts/windows-tests.sh --installed /usr/bin "$bin"
phase "package checks passed"
