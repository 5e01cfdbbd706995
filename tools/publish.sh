#!/usr/bin/env bash
# Lays out a release for the product download server and smoke-tests it with
# the installer itself before anything is uploaded.
#
#   tools/publish.sh --win7 FILE --windows FILE --out DIR [options]
#
# Writes DIR/downloads/: the two product installers under their own names,
# release.ini (by vantrel-manifest write, which refuses what the installer
# would refuse and reads the result back through the installer's reader) and
# SHA256SUMS. Then serves DIR with the test server on the staging build's
# ports and runs that build's "VantrelSetup.exe --verify" in a Windows 7 and a
# Windows 10 prefix: each must fetch release.ini and its own channel's package
# and accept it. Prints both exit codes and what each run downloaded. Exit 0
# when both runs passed, 1 when not, 2 on usage or set-up errors.
#
#   --build DIR   (or VANTREL_PUBLISH_BUILD) a staging test build folder: its
#                 VantrelSetup.exe, vantrel-manifest.exe and ports. Default:
#                 build/test-i686 (the shipped width) where it is built,
#                 otherwise build/test (x86_64). i386 code runs on the tests'
#                 executor (tools/i686-executor.sh).
#   --exe FILE    (or VANTREL_PUBLISH_EXE) the installer to run instead, e.g. a
#                 signed copy of the build folder's staging build
#   --win7-prefix DIR, --win10-prefix DIR  Wine prefixes to run in (default:
#                 fresh copies of the machine's base prefixes, removed after)
set -euo pipefail

src_dir=$(cd "$(dirname "$0")/.." && pwd)
usage() { awk 'NR > 1 && !/^#/ { exit } NR > 1 { print }' "$0" >&2; exit 2; }
say() { echo "publish: $*"; }
fail() { echo "publish: $*" >&2; exit 2; }

args=("$@")
win7_file="" windows_file="" out="" win7_prefix="" win10_prefix=""
build=${VANTREL_PUBLISH_BUILD:-} exe=${VANTREL_PUBLISH_EXE:-}
while [ $# -gt 0 ]; do
  case "$1" in
    --win7) win7_file=${2:?}; shift 2 ;;
    --windows) windows_file=${2:?}; shift 2 ;;
    --out) out=${2:?}; shift 2 ;;
    --build) build=${2:?}; shift 2 ;;
    --exe) exe=${2:?}; shift 2 ;;
    --win7-prefix) win7_prefix=${2:?}; shift 2 ;;
    --win10-prefix) win10_prefix=${2:?}; shift 2 ;;
    *) usage ;;
  esac
done
if [ -z "$win7_file" ] || [ -z "$windows_file" ] || [ -z "$out" ]; then usage; fi
for f in "$win7_file" "$windows_file"; do [ -f "$f" ] || fail "$f not found"; done
out=$(realpath -m "$out")

# The smoke test runs the shipped width where i386 code runs: on this
# kernel, or through qemu in a private namespace (the script again, there).
source "$src_dir/tools/i686-executor.sh"
choose_i686_executor || exit 2
enter_i686_executor "$0" ${args[@]+"${args[@]}"}
why="as chosen"
if [ -z "$build" ]; then
  if [ -f "$src_dir/build/test-i686/VantrelSetup.exe" ]; then
    build=$src_dir/build/test-i686 why="the shipped width, i686"
  else
    build=$src_dir/build/test why="build/test-i686 is not built: the x86_64 build of the same sources"
  fi
fi
build=$(cd "$build" && pwd) || fail "no build folder $build"
exe=$(realpath "${exe:-$build/VantrelSetup.exe}")
tool=$build/vantrel-manifest.exe
config=$build/harness_config.json
for f in "$exe" "$tool" "$config"; do
  [ -f "$f" ] || fail "$f is missing: configure and build a test preset (cmake --preset test && cmake --build --preset test)"
done

# Only a build whose servers are this machine may run here: anything else
# would send the smoke test to the real servers.
/usr/bin/python3 -c 'import json, sys
sys.exit(json.load(open(sys.argv[2]))["product_host"] != "localhost"
         or "localhost".encode("utf-16-le") not in open(sys.argv[1], "rb").read())' "$exe" "$config" \
  || fail "$exe is not a staging build (its servers are not localhost); refusing to run it"

# Wine's environment and loader, the prefixes and the server: tests/e2e/winectl.py.
winectl() { /usr/bin/python3 "$src_dir/tests/e2e/winectl.py" "$@"; }
win_path() { echo "Z:$(realpath "$1" | tr / '\\')"; }
work=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-publish.XXXXXX")
server_pid=""
made_prefixes=()
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  for p in "${made_prefixes[@]}"; do WINEPREFIX=$p wineserver -k 2>/dev/null || true; done
  rm -rf "$work"
  rm -f "$out/_requests.log"
}
trap cleanup EXIT

for channel in win7 win10; do
  var=${channel}_prefix
  if [ -z "${!var}" ]; then
    printf -v "$var" '%s' "$work/$channel"
    winectl copy "$channel" "${!var}"
    made_prefixes+=("${!var}")
  fi
done

# The layout. Stale packages from an earlier run would be served too, so
# only the files this run writes may already be there.
downloads=$out/downloads
win7_name=$(basename "$win7_file") windows_name=$(basename "$windows_file")
mkdir -p "$downloads"
for existing in "$downloads"/* "$downloads"/.[!.]*; do
  [ -e "$existing" ] || continue
  case "$(basename "$existing")" in
    release.ini|SHA256SUMS|"$win7_name"|"$windows_name") ;;
    *) fail "$existing is not part of this release; publish into an empty folder" ;;
  esac
done
cp "$win7_file" "$downloads/$win7_name"
packages=("$win7_name")
if [ "$windows_name" != "$win7_name" ]; then cp "$windows_file" "$downloads/$windows_name"; packages+=("$windows_name"); fi

say "build: $build ($why)"
say "manifest: $(winectl width "$tool") vantrel-manifest.exe"
code=0
WINEPREFIX=$win10_prefix "$src_dir/tools/wine-run.sh" "$tool" write \
  --win7 "$(win_path "$downloads/$win7_name")" --windows "$(win_path "$downloads/$windows_name")" \
  "$(win_path "$downloads/release.ini")" >"$work/manifest.log" 2>&1 || code=$?
sed 's/\r$//; s/^/  /' "$work/manifest.log"
if [ "$code" != 0 ]; then
  # No manifest of a refused release stays behind to be uploaded by mistake.
  rm -f "$downloads/release.ini" "$downloads/SHA256SUMS"
  say "vantrel-manifest refused the release (exit $code)"
  exit 1
fi
(cd "$downloads" && sha256sum release.ini "${packages[@]}") >"$downloads/SHA256SUMS"
say "wrote $downloads: release.ini ${packages[*]} SHA256SUMS"

# Serve it as the product download server of the staging build.
rm -f "$out/_rules.json"
: >"$out/_requests.log"
/usr/bin/python3 "$src_dir/tests/e2e/winectl.py" serve "$out" "$build" --ready-file "$work/ready" >"$work/server.out" 2>"$work/server.err" &
server_pid=$!
for _ in $(seq 200); do
  [ -f "$work/ready" ] && break
  kill -0 "$server_pid" 2>/dev/null || { cat "$work/server.err" >&2; fail "the server did not start (are the build's ports in use?)"; }
  sleep 0.05
done
[ -f "$work/ready" ] || fail "the server did not become ready"
say "$(cat "$work/server.out") (test certificate of tests/fixtures/test-ca)"

# One --verify per channel; the request log says what each run fetched.
status=0
for channel in win7 windows; do
  if [ "$channel" = win7 ]; then prefix=$win7_prefix system="Windows 7 SP1"; package=$win7_name
  else prefix=$win10_prefix system="Windows 10"; package=$windows_name; fi
  before=$(wc -l <"$out/_requests.log")
  code=0
  WINEPREFIX=$prefix timeout 600 "$src_dir/tools/wine-run.sh" "$exe" --verify >/dev/null 2>&1 || code=$?
  requests=$(tail -n +"$((before + 1))" "$out/_requests.log" \
    | /usr/bin/python3 -c 'import json, os, sys
for line in sys.stdin:
    e = json.loads(line)
    if "path" not in e: continue
    local = os.path.join(sys.argv[1], e["path"].lstrip("/"))
    size = "%d bytes" % os.path.getsize(local) if os.path.isfile(local) else "not found"
    print(e["method"], e["path"], size, e["tls_version"], e["user_agent"], sep=" | ")' "$out")
  expected=$(printf 'GET | /downloads/release.ini\nGET | /downloads/%s\n' "$package")
  say "$channel ($system prefix, $(winectl width "$exe") $(basename "$exe") --verify): exit $code"
  printf '%s\n' "$requests" | sed 's/^/    /'
  if [ "$code" != 0 ] || [ "$(printf '%s\n' "$requests" | cut -d'|' -f1,2 | sed 's/ *$//')" != "$expected" ]; then
    status=1
  fi
done
if [ "$status" = 0 ]; then
  say "both channels verified; upload $downloads as /downloads/ on the product server"
else
  say "the smoke test FAILED; do not upload"
fi
exit $status
