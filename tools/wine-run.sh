#!/usr/bin/env bash
# Runs a Windows program under Wine's 64-bit loader in the build's private
# test prefix (made by tools/make-prefix.sh). Never touches ~/.wine.
set -euo pipefail
build_dir=$(cd "${VANTREL_BUILD_DIR:?VANTREL_BUILD_DIR must name the build folder}" && pwd)
export WINEPREFIX=${WINEPREFIX:-$build_dir/wine/base}
export WINEARCH=win64
export WINEDEBUG=${WINEDEBUG:--all}
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY
exec /usr/lib/wine/wine64 "$@"
