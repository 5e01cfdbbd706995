#!/bin/bash
# Runs inside the test VM (tools/vm/run.sh), where Wine runs 32-bit programs
# the ordinary WOW64 way: the i686 unit tests, then the end-to-end tests
# marked "vm" against the i686 test build, or with VANTREL_VM_SUITE=all every
# i686 end-to-end entry. The project folder is shared with
# the host at the same path, so the build's absolute paths hold; the Wine
# prefixes stay on the VM's own disk.
#   vm_suite.sh BUILD_DIR
set -uo pipefail
build_dir=$(cd "${1:?usage: vm_suite.sh BUILD_DIR}" && pwd)
src_dir=$(cd "$(dirname "$0")/../.." && pwd)
export VANTREL_BUILD_DIR=$build_dir
export VANTREL_SHIPPED_DIR=${VANTREL_SHIPPED_DIR:-$src_dir/build/release}
export VANTREL_WINE_DIR=${VANTREL_WINE_DIR:-/tmp/vantrel-wine}
export VANTREL_PREFIX_CACHE=${VANTREL_PREFIX_CACHE:-/tmp/vantrel-prefixes}
export VANTREL_WINE_MODE=${VANTREL_WINE_MODE:-"the VM's system Wine (WOW64)"}
export WINEDEBUG=-all
# Programs run about this many times slower under the VM's emulated CPU.
export VANTREL_TEST_PACE=${VANTREL_TEST_PACE:-4}
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY

step() {  # step NAME COMMAND...: runs it and says how long it took
  local name=$1 start=$SECONDS status=0
  shift
  "$@" || status=$?
  echo "vm-suite: $name took $((SECONDS - start)) s (exit $status)"
  return $status
}

# The 32-bit loader must run here, or nothing below tests the shipped width.
/usr/lib/wine/wine --version >/dev/null || { echo "vm-suite: the VM cannot run 32-bit Wine"; exit 1; }

step "prefixes" "$src_dir/tools/make-prefix.sh" "$build_dir" "$VANTREL_WINE_DIR" || exit 1

status=0
unit_prefix=$VANTREL_WINE_DIR/unit
step "i686 unit tests" env WINEPREFIX="$unit_prefix" "$src_dir/tools/wine-run.sh" \
  "$build_dir/tests/vantrel_unit_tests.exe" --gtest_brief=1 || status=1
if [ "${VANTREL_VM_SUITE:-vm}" = all ]; then
  # Every end-to-end entry of the i686 build, as the host path runs them
  # where the kernel runs i386 code: the same CTest entries, one per file.
  # One pytest session per entry: pytest would keep the folders (and the
  # prefix copies in them) of the last three, more than the VM's tmpfs holds.
  # A fixed base folder is emptied at the start of each session instead.
  export PYTEST_ADDOPTS="--basetemp=/tmp/vantrel-pytest"
  step "i686 end-to-end, every entry" ctest --test-dir "$build_dir" -L e2e -LE vm \
    --output-on-failure || status=1
else
  step "i686 end-to-end subset" /usr/bin/python3 -m pytest -q -p no:cacheprovider -m vm \
    "$src_dir/tests/e2e" || status=1
fi
exit $status
