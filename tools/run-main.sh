#!/usr/bin/env bash
# The installer's main job, end to end on this machine: sets up and builds
# (like run-tests.sh), starts the bundled local staging server, and runs the
# shipped width -- the i686 staging installer, a 32-bit program under WOW64 --
# under Wine in a private Windows 10 prefix through a full windowed
# installation of the sample product installer.
#
# With a usable $DISPLAY the window opens there and you click through it
# yourself. Without one, a private screen (xvfb-run) is used, the window
# driver presses "下载并安装", and a screenshot of each stage is saved.
#
# Where this kernel runs no i386 code, the script runs itself again inside a
# private namespace where qemu's user-mode emulator runs Wine's 32-bit side
# (tools/i686-executor.sh); the window and the screenshots are the same.
set -euo pipefail
self=$(realpath "$0")
cd "$(dirname "$self")/.."
build=$PWD/build/test-i686
run=tools/wine-run.sh

if [ "${1:-}" = --drive ]; then
  # On the private screen: the window driver presses the button.
  run_dir=$2 fbdir=$3 driver=$build/tests/driver.exe
  shot() { convert "xwd:$fbdir/Xvfb_screen0" "$run_dir/shots/$1.png"; echo "main: screenshot $run_dir/shots/$1.png"; }
  hex() { printf '%s' "$1" | od -An -tx1 | tr -d ' \n'; }
  "$run" "$build/VantrelSetup.exe" &
  installer=$!
  "$run" "$driver" wait-window 30000 >/dev/null
  shot 1-ready
  "$run" "$driver" click install >/dev/null
  if "$run" "$driver" wait-status "hex:$(hex '正在下载')" 30000 >/dev/null 2>&1; then shot 2-downloading; fi
  final=$("$run" "$driver" wait-enabled install 1 120000) || true
  shot 3-finished
  status=$(printf '%s' "$final" | /usr/bin/python3 -c 'import json,sys; print(json.load(sys.stdin)["status"]["text"])' 2>/dev/null || echo "?")
  echo "main: status line: $status"
  "$run" "$driver" close >/dev/null
  wait "$installer" && code=0 || code=$?
  echo "main: the installer exited with $code"
  [ "$status" = "安装已完成。" ] && [ "$code" = 0 ]
  exit
fi

# Inside the namespace the machine is already set up (see i686-executor.sh).
[ -n "${VANTREL_I686_INSIDE:-}" ] || bash tools/setup.sh
source tools/i686-executor.sh
choose_i686_executor
enter_i686_executor "$self" "$@"
for preset in release staging test-i686; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" >/dev/null
done
[ -x tools/make_runtime_package.sh ] && tools/make_runtime_package.sh "$build" >/dev/null

run_dir=$build/main-run
rm -rf "$run_dir" && mkdir -p "$run_dir/shots"
export WINEPREFIX=$build/main-run-prefix
rm -rf "$WINEPREFIX"
/usr/bin/python3 tests/e2e/winectl.py copy win10 "$WINEPREFIX"
export VANTREL_SAMPLE_RECORD="Z:${run_dir//\//\\}\\sample-installer.txt"

server=""
cleanup() {
  wineserver -k 2>/dev/null || true
  if [ -n "$server" ]; then kill "$server" 2>/dev/null || true; fi
}
trap cleanup EXIT
record() {
  if [ -f "$run_dir/sample-installer.txt" ]; then
    echo "main: the sample product installer recorded: $(tr -d '\0\r' < "$run_dir/sample-installer.txt" | tr '\n' ' ' | head -c 300)"
  fi
}

interactive=0
if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then interactive=1; fi
drip=--drip
[ "$interactive" = 1 ] && drip=
/usr/bin/python3 tools/staging_server.py "$build" --ready-file "$run_dir/server.ready" $drip &
server=$!
for _ in $(seq 100); do [ -f "$run_dir/server.ready" ] && break; sleep 0.1; done

if [ "$interactive" = 1 ]; then
  echo "main: opening the installer on $DISPLAY; complete the installation in its window"
  "$run" "$build/VantrelSetup.exe" && code=0 || code=$?
  echo "main: the installer exited with $code"
  record
  i686_executor_line | sed 's/^/main: /'
  exit "$code"
fi
fbdir=$build/main-run-screen
mkdir -p "$fbdir"
xvfb-run -a -s "-screen 0 1024x768x24 -nocursor -fbdir $fbdir" "$self" --drive "$run_dir" "$fbdir" && code=0 || code=$?
record
i686_executor_line | sed 's/^/main: /'
[ "$code" = 0 ] && { echo "main: installation completed"; exit 0; }
echo "main: installation did not complete"; exit 1
