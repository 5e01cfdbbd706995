#!/usr/bin/env bash
# Runs a built Windows program under Wine in the build's private test prefix
# (made by tools/make-prefix.sh). Never touches ~/.wine. A 32-bit program
# goes straight to Wine's 32-bit loader, as Debian's wine script does: the
# 64-bit loader would first hand it to Wine's 64-bit start.exe.
set -euo pipefail
build_dir=$(cd "${VANTREL_BUILD_DIR:?VANTREL_BUILD_DIR must name the build folder}" && pwd)
export WINEPREFIX=${WINEPREFIX:-$build_dir/wine/base}
export WINEARCH=win64
export WINEDEBUG=${WINEDEBUG:--all}
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY
loader=/usr/lib/wine/wine64
if [ -f "${1:-}" ]; then
  # The PE header's machine field: 0x14c is i386.
  pe=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
  machine=$(od -An -tx2 -j$((pe + 4)) -N2 "$1" | tr -d ' ')
  [ "$machine" = 014c ] && loader=/usr/lib/wine/wine
fi
exec "$loader" "$@"
