#!/usr/bin/env bash
# Authenticode-signs a release build of the installer with osslsigncode.
#
#   tools/sign-release.sh [options] [FILE]
#
# FILE (default build/release/VantrelSetup.exe) is left as built, so the build
# folder stays what tools/check-reproducible.sh compares; the signed copy goes
# to --out (default: a "signed" folder beside FILE). Each option has an
# environment variable; options win.
#   --pkcs12 FILE         VANTREL_SIGN_PKCS12     key and certificate chain in one PKCS#12 file
#   --key FILE            VANTREL_SIGN_KEY        private key (PEM or DER) ...
#   --cert FILE           VANTREL_SIGN_CERT       ... and its certificate chain (PEM, leaf first)
#   --password-file FILE  VANTREL_SIGN_PASSWORD_FILE, or the password itself in
#                         VANTREL_SIGN_PASSWORD (never on a command line, where ps shows it)
#   --timestamp URL       VANTREL_SIGN_TIMESTAMP_URL  RFC 3161 time-stamp server; without one
#                         the signature stops verifying when the certificate expires
#   --name TEXT           VANTREL_SIGN_NAME  description (default: ProductName of res/app.rc)
#   --url URL             VANTREL_SIGN_URL   (default: https://<product host>/ of the build
#                         folder's CMakeCache.txt)
#   --ca FILE             VANTREL_SIGN_CA    CA bundle the signature must verify against
#                         (default: the system's bundle)
#   --out FILE            where the signed copy goes
#
# After signing, checks that osslsigncode verifies the copy against the CA
# bundle and that removing the signature gives back FILE byte for byte (so a
# published, signed file can still be compared with a rebuild). Prints both
# SHA-256 digests. Exit 0 when signed and checked, 1 when a check fails, 2 on
# usage errors.
set -euo pipefail

src_dir=$(cd "$(dirname "$0")/.." && pwd)
usage() { awk 'NR > 1 && !/^#/ { exit } NR > 1 { print }' "$0" >&2; exit 2; }

pkcs12=${VANTREL_SIGN_PKCS12:-} key=${VANTREL_SIGN_KEY:-} cert=${VANTREL_SIGN_CERT:-}
password_file=${VANTREL_SIGN_PASSWORD_FILE:-} timestamp=${VANTREL_SIGN_TIMESTAMP_URL:-}
name=${VANTREL_SIGN_NAME:-} url=${VANTREL_SIGN_URL:-} ca=${VANTREL_SIGN_CA:-/etc/ssl/certs/ca-certificates.crt}
out="" input=""
while [ $# -gt 0 ]; do
  case "$1" in
    --pkcs12) pkcs12=${2:?}; key=""; cert=""; shift 2 ;;
    --key) key=${2:?}; pkcs12=""; shift 2 ;;
    --cert) cert=${2:?}; pkcs12=""; shift 2 ;;
    --password-file) password_file=${2:?}; shift 2 ;;
    --timestamp) timestamp=${2:?}; shift 2 ;;
    --name) name=${2:?}; shift 2 ;;
    --url) url=${2:?}; shift 2 ;;
    --ca) ca=${2:?}; shift 2 ;;
    --out) out=${2:?}; shift 2 ;;
    -h|--help) usage ;;
    -*) echo "sign-release: unknown option $1" >&2; usage ;;
    *) [ -z "$input" ] || usage; input=$1; shift ;;
  esac
done
input=${input:-$src_dir/build/release/VantrelSetup.exe}
[ -f "$input" ] || { echo "sign-release: $input not found (build it with: cmake --build --preset release)" >&2; exit 2; }
input=$(realpath "$input")
out=${out:-$(dirname "$input")/signed/$(basename "$input")}

credentials=()
if [ -n "$pkcs12" ]; then
  credentials=(-pkcs12 "$pkcs12")
elif [ -n "$key" ] && [ -n "$cert" ]; then
  credentials=(-certs "$cert" -key "$key")
else
  echo "sign-release: give --pkcs12 FILE, or --key FILE and --cert FILE (or the VANTREL_SIGN_* variables)" >&2
  exit 2
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-sign.XXXXXX")
trap 'rm -rf "$work"' EXIT
if [ -n "${VANTREL_SIGN_PASSWORD:-}" ] && [ -z "$password_file" ]; then
  (umask 077; printf '%s' "$VANTREL_SIGN_PASSWORD" >"$work/password")
  password_file=$work/password
fi
[ -n "$password_file" ] && credentials+=(-readpass "$password_file")

# The description and URL shown in Windows' signature details: the product's
# own name from the version record, and the server it downloads from.
[ -n "$name" ] || name=$(sed -n 's/^ *VALUE "ProductName", "\(.*\)".*$/\1/p' "$src_dir/res/app.rc" | head -1)
name=${name:-岚禾舟}
if [ -z "$url" ]; then
  product() { sed -n "s/^VANTREL_PRODUCT_$1:[A-Z]*=//p" "$(dirname "$input")/CMakeCache.txt" 2>/dev/null | head -1; }
  host=$(product HOST) port=$(product PORT)
  [ "$port" != 443 ] || port=""
  url="https://${host:-download.lanhezhou.cn}${port:+:$port}/"
fi
extra=()
[ -n "$timestamp" ] && extra+=(-ts "$timestamp")

mkdir -p "$(dirname "$out")"
if ! osslsigncode sign "${credentials[@]}" -h sha256 -n "$name" -i "$url" "${extra[@]}" \
       -in "$input" -out "$work/signed.exe" >"$work/sign.log" 2>&1; then
  echo "sign-release: osslsigncode sign failed:" >&2
  cat "$work/sign.log" >&2
  exit 1
fi

# Removing the signature must restore the built bytes exactly: that is what
# lets anyone compare a published file with a rebuild of its commit.
osslsigncode remove-signature -in "$work/signed.exe" -out "$work/unsigned.exe" >/dev/null 2>&1 || true
if ! cmp -s "$work/unsigned.exe" "$input"; then
  echo "sign-release: removing the signature does not give back $input" >&2
  exit 1
fi
if ! osslsigncode verify -CAfile "$ca" -in "$work/signed.exe" >"$work/verify.log" 2>&1; then
  echo "sign-release: the signed file does not verify against $ca:" >&2
  tail -20 "$work/verify.log" >&2
  exit 1
fi

mv "$work/signed.exe" "$out"
echo "sign-release: signed as \"$name\" ($url)${timestamp:+, time-stamped by $timestamp}"
echo "$(sha256sum "$input" | cut -d' ' -f1)  $input (unsigned)"
echo "$(sha256sum "$out" | cut -d' ' -f1)  $out (signed; verified against $ca)"
