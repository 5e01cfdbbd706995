#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine if needed, builds the shipped i686
# programs (release and staging presets) and the x86_64 test build, and runs
# the whole test suite under Wine and Xvfb.
#
# Why two widths: the shipped installer is a 32-bit program, but the kernels
# of our build machines run no 32-bit x86 code, so Wine can only run 64-bit
# Windows programs here. The tests run the same sources built for x86_64; the
# i686 program is checked statically (headers, imports, resources).
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/setup.sh
for preset in release staging test; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
tools/make-prefix.sh build/test

unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY
ctest --test-dir build/test --output-on-failure -j2 "$@"
