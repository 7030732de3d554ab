# The Debian packages vrntools needs, grouped by what needs them, and the
# one step that installs what is missing. Sourced by scripts/demo.sh,
# scripts/test.sh and (through scripts/test.sh) .ci/run; this is the only
# list. A new dependency goes into its group here, and into the README's
# "Building" section.
#
#   vrn_install_packages WHAT GROUP...
#
# As root: apt-get update once, then a non-interactive install of the
# missing packages, with one line naming them. Not root: prints the
# `sudo apt-get install ...` line that would do it and exits non-zero.
# Nothing missing: runs no package command at all. VRN_NO_INSTALL=1 installs
# nothing and only names what is missing; the caller then says what it
# leaves out.

# Group names, in the order a full install lists them.
VRN_PACKAGE_GROUPS=(native python windows analysis dissector packaging)

# The native build and its tests: what every default configure uses.
VRN_PACKAGES_native=(cmake g++ make libgtest-dev googletest libcli11-dev nlohmann-json3-dev)
# The Python module and its tests.
VRN_PACKAGES_python=(pybind11-dev python3-pybind11 python3-pytest python3-dev)
# The Windows suite: the mingw-w64 cross compiler, Wine, and GoogleTest's
# sources to build for Windows.
VRN_PACKAGES_windows=(g++-mingw-w64-x86-64-posix wine64 googletest)
# The fuzz run (clang's libFuzzer and sanitizer runtimes) and the static analysis.
VRN_PACKAGES_analysis=(clang-14 libclang-rt-14-dev clang-tidy-14 cppcheck)
# The Wireshark dissector's checks read the captures with tshark.
VRN_PACKAGES_dissector=(tshark)
# The package checks: dependencies of the .deb (dpkg-shlibdeps, which CPack
# runs on the programs it finds with `file`), the manual pages (scdoc makes
# them; man-db shows them), lintian, and bash-completion, which loads the
# completion as a user's shell does.
VRN_PACKAGES_packaging=(dpkg-dev file scdoc man-db lintian bash-completion)

# The packages of the groups given, each once.
vrn_packages() {
  local group p seen=" "
  for group in "$@"; do
    local -n list="VRN_PACKAGES_$group"
    for p in "${list[@]}"; do
      [[ "$seen" == *" $p "* ]] || { seen+="$p "; echo "$p"; }
    done
  done
}

# Those of them not installed (all of them where dpkg is not there to ask).
vrn_missing_packages() {
  local p
  for p in $(vrn_packages "$@"); do
    [ "$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null)" = installed ] || echo "$p"
  done
}

vrn_install_packages() {
  local what="$1"
  shift
  if ! command -v dpkg-query >/dev/null 2>&1; then
    echo "Not a Debian system: cannot check the packages needed for $what ($(vrn_packages "$@" | xargs))."
    return 0
  fi
  local missing
  missing="$(vrn_missing_packages "$@" | xargs)"
  [ -n "$missing" ] || return 0
  if [ "${VRN_NO_INSTALL:-0}" = 1 ]; then
    echo "Not installing (VRN_NO_INSTALL=1) the Debian packages needed for $what: $missing"
    return 0
  fi
  if [ "$(id -u)" != 0 ]; then
    echo "### ERROR: Debian packages needed for $what are not installed. Install them with" >&2
    echo "    sudo apt-get install $missing" >&2
    echo "or run with VRN_NO_INSTALL=1 to go on without them." >&2
    exit 1
  fi
  echo "Installing the Debian packages needed for $what: $missing"
  local log
  log="$(mktemp)"
  # tshark's package asks whether non-root users may capture: answer no,
  # without a question.
  if { apt-get update -qq -o DPkg::Lock::Timeout=300 \
       && { [[ " $missing " != *" tshark "* ]] \
            || echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections; } \
       && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o DPkg::Lock::Timeout=300 $missing; } \
       >"$log" 2>&1; then
    rm -f "$log"
  else
    cat "$log" >&2
    rm -f "$log"
    echo "### ERROR: installing $missing failed" >&2
    exit 1
  fi
}
