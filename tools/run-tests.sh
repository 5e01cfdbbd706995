#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine if needed, builds the shipped i686
# programs (release and staging presets), the i686 test build and the x86_64
# test build, and runs the test suite under Wine and Xvfb.
#
# What runs the shipped width (the i686 exe, a 32-bit program under WOW64):
#   host  where this kernel runs i386 code: the system Wine runs every i686
#         entry, and the x86_64 build adds its unit tests as a second width.
#   vm    where the kernel refuses i386 code (IA-32 emulation off), Wine can't
#         run 32-bit programs in any mode. A Debian VM under QEMU
#         (tools/vm/run.sh) runs the i686 unit tests and the end-to-end tests
#         marked "vm"; the host runs the whole list on the x86_64 build.
#         VANTREL_VM_SUITE=all makes the VM run every i686 end-to-end entry
#         instead, as the host path does (slow under emulation; not for CI).
# VANTREL_I686_EXECUTOR=host|vm overrides the choice (vm works everywhere).
# Arguments are passed to the ctest run of the executor's main list.
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
vm_suite=${VANTREL_VM_SUITE:-vm}
case $vm_suite in
  vm|all) ;;
  *) echo "VANTREL_VM_SUITE must be vm or all, not '$vm_suite'" >&2; exit 1 ;;
esac
export VANTREL_VM_SUITE=$vm_suite

unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY
logs=build/test-logs
mkdir -p "$logs"

# entries BUILD_DIR [CTEST ARGS...]: the names of the entries ctest would run.
entries() {
  local dir=$1
  shift
  ctest --test-dir "$dir" -N "$@" | sed -n 's/^ *Test *#[0-9]*: //p'
}
# ran LOG: the names of the entries that ctest reported a result for.
ran() {
  tr -d '\r' <"$1" | sed -n 's/^\([0-9]*: \)\{0,1\} *[0-9]*\/[0-9]* Test *#[0-9]*: \([^ ]*\) .*/\2/p'
}
# rows_by_file MARKS: "file count" for every end-to-end file with rows that
# match the pytest mark expression (collected only, nothing runs).
rows_by_file() {
  VANTREL_BUILD_DIR=$PWD/build/test-i686 /usr/bin/python3 -m pytest -q -p no:cacheprovider \
    --collect-only -m "$1" tests/e2e 2>/dev/null |
    sed -n 's/^tests\/e2e\/\(test_[a-z_0-9]*\)\.py::.*/\1/p' | sort | uniq -c | awk '{ print $2, $1 }'
}
# missing LIST_FILE RAN_FILE: names in the first that are not in the second.
missing() {
  grep -vxF -f "$2" "$1" | paste -sd ' ' || true
}

status=0
notes=()
if [ "$executor" = host ]; then
  tools/make-prefix.sh build/test-i686
  tools/make-prefix.sh build/test
  entries build/test-i686 -LE vm "$@" >"$logs/i686-planned"
  entries build/test-i686 -LE vm >"$logs/i686-all"
  ctest --test-dir build/test-i686 --output-on-failure -j2 -LE vm "$@" 2>&1 |
    tee "$logs/i686.log" || status=1
  ctest --test-dir build/test --output-on-failure -R '^unit_x86_64$' 2>&1 |
    tee "$logs/x86_64.log" || status=1
  ran "$logs/i686.log" >"$logs/i686-ran"
  summary="i686 tests: the host's system Wine (WOW64), $(wc -l <"$logs/i686-ran") of $(wc -l <"$logs/i686-all") entries; x86_64: unit tests"
  not_run=$(missing "$logs/i686-all" "$logs/i686-ran")
  notes+=("i686 entries that did not run: ${not_run:-none}")
else
  tools/make-prefix.sh build/test
  ctest --test-dir build/test --output-on-failure -j2 -LE vm "$@" 2>&1 |
    tee "$logs/x86_64.log" || status=1
  # The VM's own output (image build steps, the suite's timings, pytest's or
  # ctest's lines) is the record of what ran there.
  log=build/test-i686/vm-ctest.log
  if [ "$vm_suite" = all ]; then
    export VANTREL_VM_TIMEOUT=${VANTREL_VM_TIMEOUT:-14400}
  fi
  ctest --test-dir build/test-i686 -V -L vm --no-tests=error 2>&1 | tee "$log" || status=1
  vm=$(grep -o 'executor: VM under [A-Z]*' "$log" | tail -n 1 | sed 's/^executor: //')
  # What the VM ran of the i686 list: the unit tests, and the end-to-end
  # entries (all) or their rows marked vm (the subset).
  if [ "$vm_suite" = all ]; then
    { echo unit_i686; ran "$log"; } >"$logs/i686-ran"
    summary="i686 tests: the Debian ${vm:-VM (it did not start)} (QEMU), the unit tests and every end-to-end entry; x86_64: every entry on the host's 64-bit Wine"
  else
    summary="i686 tests: the Debian ${vm:-VM (it did not start)} (QEMU), the unit tests and the end-to-end subset marked vm; x86_64: every entry on the host's 64-bit Wine"
    # The marks in the test files are the one list of the subset: an entry
    # counts as run in the VM when some of its rows are marked, and its other
    # rows ran on x86_64 only.
    { echo unit_i686; rows_by_file "vm" | awk '{ print "e2e_i686_" $1 }'; } >"$logs/i686-ran"
    outside=$(rows_by_file "not vm" | awk '{ printf "%s%s %s", (NR > 1 ? ", " : ""), $1, $2 }')
    notes+=("end-to-end rows outside the VM subset, run on x86_64 only (file and rows): ${outside:-none}")
  fi
  # The entries that run the i686 programs (the rest do not depend on the
  # width, and the host ran them).
  { echo unit_i686; entries build/test-i686 -L e2e -LE vm; } >"$logs/i686-wine"
  only64=$(missing "$logs/i686-wine" "$logs/i686-ran")
  notes+=("i686 entries that ran only on x86_64 here: ${only64:-none}")
fi

echo
[ -n "$reason" ] && echo "run-tests: this kernel runs no i386 code ($reason)"
for note in "${notes[@]}"; do echo "run-tests: $note"; done
echo "run-tests: executor: $summary"
exit $status
