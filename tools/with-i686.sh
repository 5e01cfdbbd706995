#!/usr/bin/env bash
# Runs one command where i386 code runs: as it is on a host executor, inside
# the private qemu namespace otherwise (tools/i686-executor.sh). For running
# single entries by hand, e.g.
#   tools/with-i686.sh ctest --test-dir build/test-i686 -R downloader
set -euo pipefail
source "$(dirname "$0")/i686-executor.sh"
choose_i686_executor
enter_i686_executor "$0" "$@"
exec "$@"
