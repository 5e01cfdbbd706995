#!/usr/bin/env bash
# Creates the private Wine prefixes the tests copy from, inside the build
# folder (or WINE_DIR): build/<x>/wine/base (Windows 7 SP1, Wine's default)
# and build/<x>/wine/base-win10 (Windows 10 1903). Both trust the local test CA,
# render Chinese text, and let Wine draw its own window frames (no window
# manager under Xvfb). Nothing outside the build folder is touched.
set -euo pipefail
build_dir=$(cd "${1:?usage: make-prefix.sh BUILD_DIR [WINE_DIR]}" && pwd)
src_dir=$(cd "$(dirname "$0")/.." && pwd)
wine_dir=${2:-${VANTREL_WINE_DIR:-$build_dir/wine}}
certs=$build_dir/certs

/usr/bin/python3 "$src_dir/tools/https_server/make_certs.py" "$certs" >/dev/null

export WINEARCH=win64 WINEDEBUG=-all
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY DISPLAY

# A base is rebuilt when anything that went into it changed.
stamp=$(cat "$0" "$src_dir/tools/prefix_registry.py" "$certs/ca.der" \
          "$src_dir/tests/fixtures/runtime-signing/ca.der" \
          2>/dev/null | sha256sum | cut -c1-16)

make_base() {
  local prefix=$1 version=$2
  [ "$(cat "$prefix/.vantrel-ready" 2>/dev/null)" = "$stamp" ] && return 0
  rm -rf "$prefix"
  mkdir -p "$wine_dir"
  export WINEPREFIX=$prefix
  WINEDLLOVERRIDES="mscoree,mshtml=" /usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1
  wineserver -w

  cp /usr/share/wine/fonts/*.ttf "$prefix/drive_c/windows/Fonts/" 2>/dev/null || true
  local reg=$wine_dir/setup.reg
  /usr/bin/python3 "$src_dir/tools/prefix_registry.py" "$certs/ca.der" \
    "$src_dir/tests/fixtures/runtime-signing/ca.der" >"$reg"
  /usr/lib/wine/wine64 regedit /S "Z:${reg//\//\\}" >/dev/null 2>&1
  if [ "$version" != win7 ]; then
    /usr/lib/wine/wine64 winecfg -v "$version" >/dev/null 2>&1
  fi
  wineserver -w
  echo "$stamp" >"$prefix/.vantrel-ready"
}

make_base "$wine_dir/base" win7
make_base "$wine_dir/base-win10" win10
# The unit tests run in a copy of their own, so they never touch a base while
# another test copies it.
if [ "$(cat "$wine_dir/unit/.vantrel-ready" 2>/dev/null)" != "$stamp" ]; then
  rm -rf "$wine_dir/unit"
  cp -a "$wine_dir/base" "$wine_dir/unit"
fi
echo "make-prefix: $wine_dir/base and $wine_dir/base-win10 are ready"
