#!/usr/bin/env bash
# Checks that the release build is reproducible: the same sources give a
# byte-identical VantrelSetup.exe whatever folder they are built in, whenever,
# and under whatever clock, time zone, locale or umask.
#
#   tools/check-reproducible.sh                two clean builds of the release
#       preset from copies of the work tree at two paths, a few seconds apart
#   tools/check-reproducible.sh --against DIR  one clean build from a copy,
#       compared with the release build folder DIR (brought up to date first,
#       configured the same way)
#
# Prints both SHA-256 digests; exit 0 when they match, 1 when they differ
# (with the first differing bytes), 2 on usage or build errors.
set -euo pipefail

src_dir=$(cd "$(dirname "$0")/.." && pwd)
against=""
case "${1:-}" in
  "") ;;
  --against) against=$(cd "${2:?--against needs the release build folder}" && pwd) ;;
  *) sed -n '2,13p' "$0" >&2; exit 2 ;;
esac

work=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-repro.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The files of the work tree that a checkout would have: tracked and new
# files, nothing ignored (no build folders), nothing deleted.
copy_sources() {
  local target=$1
  mkdir -p "$target"
  if git -C "$src_dir" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    (cd "$src_dir" && git ls-files -z --cached --others --exclude-standard \
      | while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done \
      | tar --null -T - -cf -) | tar -xf - -C "$target"
  else
    (cd "$src_dir" && tar --exclude=./build -cf - .) | tar -xf - -C "$target"
  fi
}

# The endpoint settings of the reference build, so that both builds are
# configured alike.
cache_settings() {
  local cache=$1/CMakeCache.txt
  [ -f "$cache" ] || return 0
  sed -n 's/^\(VANTREL_[A-Z0-9_]*\):[A-Z]*=\(.*\)$/-D\1=\2/p' "$cache" | grep -v VANTREL_SHIPPED_DIR || true
}

# build_copy NAME TZ EPOCH UMASK [CMAKE -D ARGUMENTS...]: a clean release
# build of a fresh copy under $work/NAME; prints the exe's path.
build_copy() {
  local name=$1 tz=$2 epoch=$3 mask=$4
  shift 4
  local tree=$work/$name/VantrelSetup-source
  copy_sources "$tree"
  (
    cd "$tree"
    umask "$mask"
    export TZ=$tz SOURCE_DATE_EPOCH=$epoch LC_ALL=C.UTF-8
    cmake --preset release "$@" >"$work/$name.log" 2>&1
    cmake --build --preset release --target VantrelSetup >>"$work/$name.log" 2>&1
  ) || { echo "build $name failed; its log:" >&2; tail -40 "$work/$name.log" >&2; exit 2; }
  echo "$tree/build/release/VantrelSetup.exe"
}

if [ -n "$against" ]; then
  mapfile -t settings < <(cache_settings "$against")
  cmake --build "$against" --target VantrelSetup >"$work/reference.log" 2>&1 \
    || { echo "updating $against failed:" >&2; tail -40 "$work/reference.log" >&2; exit 2; }
  first=$against/VantrelSetup.exe
  second=$(build_copy second-build Pacific/Kiritimati 86400 0077 "${settings[@]}") || exit 2
else
  first=$(build_copy a UTC 1700000000 0022) || exit 2
  sleep 3
  second=$(build_copy second-build-elsewhere Pacific/Kiritimati 86400 0077) || exit 2
fi

sha256sum "$first" "$second"
if cmp -s "$first" "$second"; then
  echo "reproducible: identical ($(stat -c %s "$first") bytes)"
  exit 0
fi
echo "NOT reproducible: the executables differ; first differing bytes (offset, octal values):" >&2
cmp -l "$first" "$second" | head -20 >&2 || true
exit 1
