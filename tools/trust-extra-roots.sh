#!/usr/bin/env bash
# Adds the test roots that the tests' own signatures chain to (today: the
# code-signing root of the staging runtime package) to a prefix's
# LOCAL_MACHINE ROOT store.
#
#   tools/trust-extra-roots.sh PREFIX      (or with WINEPREFIX set)
#
# The store lives in the registry: a key named by the certificate's SHA-1
# thumbprint with the value Blob, a serialized certificate property list with
# the one CERT_CERT_PROP_ID (0x20) entry: u32 0x20, u32 1, u32 length, DER.
set -euo pipefail

prefix=${1:-${WINEPREFIX:?usage: trust-extra-roots.sh PREFIX}}
source_dir=$(cd "$(dirname "$0")/.." && pwd)
roots=("$source_dir/tests/fixtures/runtime-signing/ca.der")

# reg.exe in a 64-bit prefix is a 64-bit program; call that loader directly
# where Debian keeps it off PATH.
wine_loader=wine
[ -x /usr/lib/wine/wine64 ] && wine_loader=/usr/lib/wine/wine64

le32() { printf '%02x%02x%02x%02x' $(($1 & 255)) $((($1 >> 8) & 255)) $((($1 >> 16) & 255)) $((($1 >> 24) & 255)); }

for der in "${roots[@]}"; do
    thumbprint=$(sha1sum "$der" | cut -d' ' -f1 | tr 'a-f' 'A-F')
    length=$(stat -c %s "$der")
    blob="$(le32 32)$(le32 1)$(le32 "$length")$(od -An -v -tx1 "$der" | tr -d ' \n')"
    env -u http_proxy -u https_proxy -u HTTP_PROXY -u HTTPS_PROXY \
        WINEPREFIX="$prefix" WINEARCH=win64 WINEDEBUG=-all \
        "$wine_loader" reg add \
        "HKLM\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\$thumbprint" \
        /v Blob /t REG_BINARY /d "$blob" /f >/dev/null
done
