#!/usr/bin/env bash
# Builds the staging stand-in for the KB2999226 package: a cabinet (an .msu is
# one) holding a generated payload, Authenticode-signed with the committed
# test signer in tests/fixtures/runtime-signing/.
#
#   tools/make_runtime_package.sh BUILD_DIR
#
# writes BUILD_DIR/fixtures/runtime.msu (signed) and runtime-unsigned.cab (the
# same cabinet before signing). Reproducible: fixed payload, file time and
# signing time, committed key and certificates, and an RSA PKCS#1 v1.5
# signature has no random part. The signed file is exactly as long as the real
# package (1034556 bytes), so the staging build shows the same "1010 KB"
# figures; its SHA-256 is pinned in the staging preset of CMakePresets.json.
set -euo pipefail

build_dir=${1:?usage: make_runtime_package.sh BUILD_DIR}
source_dir=$(cd "$(dirname "$0")/.." && pwd)
signing="$source_dir/tests/fixtures/runtime-signing"
target_size=1034556
signing_time=1577923200  # 2020-01-02 00:00:00 UTC, inside the signer's validity
file_time='2020-01-01 00:00:00 UTC'

out_dir="$build_dir/fixtures"
mkdir -p "$out_dir"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

build() {  # build PAYLOAD_BYTES -> $work/signed.cab, $work/plain.cab
    local payload="$work/vantrel-test-runtime.bin"
    rm -f "$payload" "$work/plain.cab" "$work/signed.cab"
    # yes ends on SIGPIPE once head has enough; that is not a failure here.
    { yes 'Vantrel staging runtime package: test payload, not a Windows update.' || true; } \
        | head -c "$1" > "$payload"
    touch -d "$file_time" "$payload"
    (cd "$work" && gcab --create --nopath plain.cab vantrel-test-runtime.bin)
    osslsigncode sign -certs "$signing/signer.pem" -key "$signing/signer.key" -h sha256 \
        -time "$signing_time" -in "$work/plain.cab" -out "$work/signed.cab" >/dev/null
}

# The cabinet's block headers and the signature add a few kilobytes; two or
# three rounds settle the payload size.
payload=$((target_size - 4096))
for _ in 1 2 3 4 5; do
    build "$payload"
    size=$(stat -c %s "$work/signed.cab")
    [ "$size" -eq "$target_size" ] && break
    payload=$((payload + target_size - size))
done
if [ "$size" -ne "$target_size" ]; then
    echo "make_runtime_package: could not reach $target_size bytes (got $size)" >&2
    exit 1
fi

cp "$work/signed.cab" "$out_dir/runtime.msu"
cp "$work/plain.cab" "$out_dir/runtime-unsigned.cab"
echo "runtime.msu $(stat -c %s "$out_dir/runtime.msu") $(sha256sum "$out_dir/runtime.msu" | cut -d' ' -f1)"
