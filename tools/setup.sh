#!/usr/bin/env bash
# Installs everything needed to build and test the installer on Debian 12.
# Idempotent: packages already present are not touched again.
set -euo pipefail

packages=(
  g++-mingw-w64-i686-posix binutils-mingw-w64-i686 mingw-w64-i686-dev
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
  wine wine64 wine32:i386
  cmake ninja-build googletest
  xvfb xauth x11-utils fonts-wqy-microhei fonts-wine imagemagick xdotool
  osslsigncode gcab openssl
  python3-pytest python3-cryptography python3-pefile
  nginx-light
)

need_install=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  need_install=1
fi
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    need_install=1
    break
  fi
done

if [ "$need_install" = 1 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # nginx is only the benchmark's download server (tools/bench.py starts its
  # own, on loopback ports): its package must not start a system service on
  # port 80. Where no policy exists yet, one refuses that start for the
  # length of the install.
  policy=/usr/sbin/policy-rc.d
  own_policy=0
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\n[ "$1" = nginx ] && exit 101\nexit 0\n' > "$policy"
    chmod 755 "$policy"
    own_policy=1
  fi
  apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null || { [ "$own_policy" = 0 ] || rm -f "$policy"; exit 1; }
  [ "$own_policy" = 0 ] || rm -f "$policy"
  # Nor at the next boot.
  if command -v systemctl >/dev/null 2>&1; then systemctl disable nginx >/dev/null 2>&1 || true; fi
fi

# Where this kernel refuses i386 code (or qemu is asked for), Wine's 32-bit
# side runs under qemu's user-mode emulator (tools/i686-executor.sh). Debian
# 12's own qemu (7.2) takes a minute per 32-bit process start, so the
# emulator comes from bookworm-backports: a sources file of our own for that
# suite, from the archive the machine's sources already name, and only the
# one package from it. The machine's own sources file is never edited.
source "$(dirname "$0")/i686-executor.sh"
if [ "${VANTREL_I686_EXECUTOR:-}" = qemu ] || { [ "${VANTREL_I686_EXECUTOR:-}" != host ] && ! i686_host_probe; }; then
  major=$(qemu_i386_major)
  if [ -z "$major" ] || [ "$major" -lt 8 ]; then
    backports=/etc/apt/sources.list.d/vantrel-bookworm-backports.sources
    if ! grep -rqs '^[^#]*bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/; then
      mirror=$(grep -rhs -m1 -oE '(https?://[^ ]+/debian)/?( |$)' /etc/apt/sources.list.d/*.sources /etc/apt/sources.list |
               grep -v security | head -n 1 | tr -d " " || true)
      printf 'Types: deb\nURIs: %s\nSuites: bookworm-backports\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
        "${mirror:-http://deb.debian.org/debian}" >"$backports"
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends -t bookworm-backports qemu-user >/dev/null
  fi
  echo "setup: qemu-user $(qemu_i386_major) runs i386 code here"
fi
echo "setup: toolchain and Wine are installed"
