#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine if needed, builds the shipped i686
# programs (release and staging presets), the i686 test build and the x86_64
# test build, and runs the test suite under Wine and Xvfb.
#
# Every i686 entry runs on every machine: on the host's Wine where this
# kernel runs i386 code, else inside a private namespace where qemu's
# user-mode emulator runs Wine's 32-bit side (tools/i686-executor.sh;
# VANTREL_I686_EXECUTOR=host|qemu forces one). The x86_64 build adds its unit
# tests as a second width. Arguments are passed to the i686 ctest run.
set -euo pipefail
self=$(realpath "$0")
cd "$(dirname "$self")/.."

# Inside the namespace the machine is already set up (see i686-executor.sh).
[ -n "${VANTREL_I686_INSIDE:-}" ] || bash tools/setup.sh
source tools/i686-executor.sh
choose_i686_executor
enter_i686_executor "$self" "$@"

for preset in release staging test test-i686; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
# The i686 test build's installer is the staging exe, byte for byte.
cmp build/staging/VantrelSetup.exe build/test-i686/VantrelSetup.exe

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

status=0
tools/make-prefix.sh build/test-i686
tools/make-prefix.sh build/test
entries build/test-i686 >"$logs/i686-all"
ctest --test-dir build/test-i686 --output-on-failure -j2 "$@" 2>&1 | tee "$logs/i686.log" || status=1
ctest --test-dir build/test --output-on-failure -R '^unit_x86_64$' 2>&1 | tee "$logs/x86_64.log" || status=1
ran "$logs/i686.log" >"$logs/i686-ran"
not_run=$(grep -vxF -f "$logs/i686-ran" "$logs/i686-all" | paste -sd ' ' || true)

echo
echo "run-tests: i686 tests: $(wc -l <"$logs/i686-ran") of $(wc -l <"$logs/i686-all") entries; x86_64: unit tests"
echo "run-tests: i686 entries that did not run: ${not_run:-none}"
i686_executor_line | sed 's/^/run-tests: /'
exit $status
