#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine if needed, builds the shipped i686
# programs (release and staging presets), the i686 test build and the x86_64
# test build, and runs the test suite under Wine and Xvfb.
#
# What runs the shipped width (the i686 exe, a 32-bit program under WOW64):
#   host  where this kernel runs i386 code: the system Wine runs every i686
#         test, and the x86_64 build adds its unit tests as a second width.
#   vm    where the kernel refuses i386 code (IA-32 emulation off), Wine can't
#         run 32-bit programs in any mode. A Debian VM under QEMU
#         (tools/vm/run.sh) runs the i686 unit tests and the end-to-end tests
#         marked "vm"; the host runs the whole list on the x86_64 build.
# VANTREL_I686_EXECUTOR=host|vm overrides the choice (vm works everywhere).
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/setup.sh
for preset in release staging test test-i686; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
# The i686 test build's installer is the staging exe, byte for byte.
cmp build/staging/VantrelSetup.exe build/test-i686/VantrelSetup.exe

source tools/i686-executor.sh
choose_i686_executor || exit 1
executor=$i686_executor reason=$i686_reason

unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY
status=0
if [ "$executor" = host ]; then
  tools/make-prefix.sh build/test-i686
  tools/make-prefix.sh build/test
  ctest --test-dir build/test-i686 --output-on-failure -j2 -LE vm "$@" || status=1
  ctest --test-dir build/test --output-on-failure -R '^unit_x86_64$' || status=1
  summary="i686 tests: the host's system Wine (WOW64), every entry; x86_64: unit tests"
else
  tools/make-prefix.sh build/test
  ctest --test-dir build/test --output-on-failure -j2 -LE vm "$@" || status=1
  # Verbose: the VM's own output (image build steps, the suite's timings,
  # pytest's lines) is the record of what ran there.
  log=build/test-i686/vm-ctest.log
  ctest --test-dir build/test-i686 -V -L vm --no-tests=error 2>&1 | tee "$log" || status=1
  executor=$(grep -o 'executor: VM under [A-Z]*' "$log" | tail -n 1 | sed 's/^executor: //')
  summary="i686 tests: the Debian ${executor:-VM (it did not start)} (QEMU), the unit tests and the end-to-end subset marked vm; x86_64: every entry on the host's 64-bit Wine"
fi

echo
[ -n "$reason" ] && echo "run-tests: this kernel runs no i386 code ($reason)"
echo "run-tests: executor: $summary"
exit $status
