#!/usr/bin/env bash
# Builds the Debian VM that tools/vm/run.sh boots, and caches it outside any
# clone, so that later runs on this machine (another clone, a CI run) reuse it:
#   CACHE/images/KEY/root.img    raw ext4 root (sparse), never written by a run
#   CACHE/images/KEY/kernel      the kernel of the image's own linux-image-amd64
#   CACHE/images/KEY/initrd.img  its initrd (virtio disk and ext4 only)
# KEY is a digest of everything the image is built from: this script, the
# guest's init, the package list, the Debian suite and its point release.
# A change of any of them builds a new image; older ones are removed.
# Prints the image's folder as its last line on stdout (all else on stderr).
# Usage: tools/vm/build-image.sh [CACHE]
#   CACHE defaults to $VANTREL_VM_DIR, else /var/cache/vantrel-vm.
#
# Everything comes from Debian's archive, through the mirror the host's apt
# already uses. Needs root (mmdebstrap in root mode).
set -euo pipefail
# Only the image's folder goes to stdout (fd 3); everything else to stderr.
exec 3>&1 1>&2
here=$(cd "$(dirname "$0")" && pwd)
cache=${1:-${VANTREL_VM_DIR:-/var/cache/vantrel-vm}}
mkdir -p "$cache/images"
cache=$(cd "$cache" && pwd)

suite=bookworm
image_size=6G
packages_file=$here/packages.txt

log() { echo "vm: $*" >&2; }
die() { log "error: $*"; exit 1; }

# The point release the archive serves now, as the host's apt last saw it
# (its lists hold the suite's Release file); the host's own otherwise.
point_release() {
  local release
  release=$(grep -hm1 '^Version:' /var/lib/apt/lists/*_dists_"${suite}"_InRelease 2>/dev/null |
            head -n 1 | awk '{ print $2 }')
  echo "${release:-$(cat /etc/debian_version 2>/dev/null)}"
}

key=$( { cat "$here/build-image.sh" "$here/guest-init.sh" "$packages_file"
         echo "suite $suite $(point_release)"; } | sha256sum | cut -c1-16)
image=$cache/images/$key

# Two runs starting together (or a run and a rebuild) must not build twice
# or boot a half-written image: the second one waits here.
exec 9>"$cache/.build.lock"
flock 9

if [ -f "$image/root.img" ] && [ -f "$image/kernel" ] && [ -f "$image/initrd.img" ] &&
   [ "$(cat "$image/stamp" 2>/dev/null)" = "$key" ]; then
  log "image is up to date ($image)"
  echo "$image" >&3
  exit 0
fi

[ "$(id -u)" = 0 ] || die "building the VM image needs root (mmdebstrap in root mode)"

now() { echo "${EPOCHREALTIME/,/.}"; }
elapsed() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }
step() {
  local name=$1 t0
  shift
  t0=$(now)
  "$@"
  log "step $name took $(elapsed "$t0") s"
}
build_t0=$(now)

# --- host tools --------------------------------------------------------------

host_packages=(mmdebstrap qemu-system-x86 qemu-utils e2fsprogs xz-utils)

install_host_tools() {
  local missing=() p
  for p in "${host_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$p")
  done
  [ ${#missing[@]} = 0 ] && return 0
  log "installing on the host: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # Another apt may be running (tools/setup.sh): wait for its lock. Only
  # refresh the lists when the install fails with the ones we have.
  local apt=(apt-get -y -qq --no-install-recommends -o DPkg::Lock::Timeout=900)
  if ! "${apt[@]}" install "${missing[@]}" >/dev/null; then
    apt-get -qq -o DPkg::Lock::Timeout=900 update
    "${apt[@]}" install "${missing[@]}" >/dev/null
  fi
}

# --- which Debian mirror ----------------------------------------------------

# Prints "URI SUITE" for every enabled "deb" entry of the host's apt sources,
# one-line (.list) and deb822 (.sources) styles alike.
host_sources() {
  local f
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    awk '$1 == "deb" {
           i = 2
           if ($i ~ /^\[/) { while (i <= NF && $i !~ /\]$/) i++; i++ }
           if (i < NF) print $i, $(i + 1)
         }' "$f"
  done
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk 'function flush() {
           if (types ~ /(^| )deb( |$)/ && enabled != "no")
             for (u = 1; u <= nu; u++) for (s = 1; s <= ns; s++) print uris[u], suites[s]
           types = ""; enabled = ""; nu = 0; ns = 0
         }
         /^[ \t]*#/ { next }
         /^[ \t]*$/ { flush(); next }
         {
           key = tolower($1); sub(/:$/, "", key)
           if (key == "types") { $1 = ""; types = $0 " " }
           else if (key == "enabled") enabled = tolower($2)
           else if (key == "uris") for (i = 2; i <= NF; i++) uris[++nu] = $i
           else if (key == "suites") for (i = 2; i <= NF; i++) suites[++ns] = $i
         }
         END { flush() }' "$f"
  done
}

mirror_for() {
  host_sources | awk -v s="$1" '$2 == s { sub(/\/+$/, "", $1); print $1; exit }'
}

main_mirror=${VANTREL_VM_MIRROR:-$(mirror_for "$suite")}
main_mirror=${main_mirror:-http://deb.debian.org/debian}
security_mirror=$(mirror_for "$suite-security")
updates_mirror=$(mirror_for "$suite-updates")

# The host's apt settings that decide whether the archive can be reached
# (proxies, tolerance of an old Release file) apply to the build too.
host_apt_settings() {
  apt-config dump 2>/dev/null |
    grep -E '^Acquire::(Check-Valid-Until|Check-Date|https?::Proxy|http::Proxy::[^ ]+) ' || true
}

# --- the root tree ----------------------------------------------------------

work=$cache/build
root=$work/root

fresh_work_dir() {
  # mmdebstrap mounts /proc, /sys and /dev in the target itself and
  # unmounts them when it ends; --one-file-system guards anyway.
  if [ -e "$work" ]; then
    if findmnt -rno TARGET | awk -v r="$root" 'index($0, r) == 1 { found = 1 } END { exit !found }'; then
      die "something is still mounted under $root; unmount it first"
    fi
    rm -rf --one-file-system "$work"
  fi
  mkdir -p "$work/overlay/etc/initramfs-tools/conf.d" "$work/overlay/etc/initramfs-tools/hooks"

  # The initrd only has to find an ext4 root on a virtio disk; listing its
  # modules instead of "most" makes it small and quick to unpack and build,
  # and leaving udev out of it (the excludes below) saves seconds of boot
  # under emulation: the modules are loaded by name. In place before the
  # kernel's package builds the initrd.
  printf 'MODULES=list\nCOMPRESS=gzip\n' >"$work/overlay/etc/initramfs-tools/conf.d/vantrel-vm"
  cat >"$work/overlay/etc/initramfs-tools/hooks/vantrel-vm" <<'EOF2'
#!/bin/sh
[ "$1" = prereqs ] && exit 0
. /usr/share/initramfs-tools/hook-functions
force_load virtio_pci
force_load virtio_blk
force_load ext4
EOF2
  chmod 755 "$work/overlay/etc/initramfs-tools/hooks/vantrel-vm"

  # What the guest needs of its own: "localhost" resolves (a minbase root
  # has no /etc/hosts, and the local test servers are named so), no name
  # servers (the VM has no network), and the init that runs the tests.
  cat >"$work/customize.sh" <<EOF2
set -e
printf '127.0.0.1 localhost vantrel-vm\\n' >"\$1/etc/hosts"
echo vantrel-vm >"\$1/etc/hostname"
rm -f "\$1/etc/resolv.conf"
: >"\$1/etc/resolv.conf"
install -m 755 "$here/guest-init.sh" "\$1/sbin/vantrel-init"
EOF2
}

run_mmdebstrap() {
  local packages sources=("deb $main_mirror $suite main") opts=() line
  mapfile -t packages < <(sed -e 's/#.*//' -e 's/[[:space:]]//g' -e '/^$/d' "$packages_file")
  [ -n "$updates_mirror" ] && sources+=("deb $updates_mirror $suite-updates main")
  [ -n "$security_mirror" ] && sources+=("deb $security_mirror $suite-security main")
  while IFS= read -r line; do
    [ -n "$line" ] && opts+=("--aptopt=$line")
  done < <(host_apt_settings)
  # Documentation, manuals and translations are of no use in a test VM and
  # make up a good part of the image; copyright files stay. udev's initrd
  # parts go too (see the initrd above).
  local exclude
  for exclude in /usr/share/doc/\* /usr/share/man/\* /usr/share/info/\* /usr/share/locale/\* \
                 /usr/share/lintian/\* /usr/share/initramfs-tools/hooks/udev \
                 /usr/share/initramfs-tools/scripts/init-top/udev \
                 /usr/share/initramfs-tools/scripts/init-bottom/udev; do
    opts+=("--dpkgopt=path-exclude=$exclude")
  done
  opts+=("--dpkgopt=path-include=/usr/share/doc/*/copyright")
  mmdebstrap --mode=root --variant=minbase --architectures=amd64,i386 \
    --include="$(IFS=,; echo "${packages[*]}")" \
    --aptopt='APT::Install-Recommends "false"' --aptopt='APT::Install-Suggests "false"' \
    --dpkgopt=force-unsafe-io "${opts[@]}" \
    --setup-hook="sync-in $work/overlay /" \
    --customize-hook="sh $work/customize.sh \"\$1\"" \
    "$suite" "$root" "${sources[@]}" >"$work/mmdebstrap.log" 2>&1 ||
    { tail -n 40 "$work/mmdebstrap.log" >&2; die "mmdebstrap failed (log: $work/mmdebstrap.log)"; }
}

configure_root() {
  local kernel initrd version
  kernel=$(ls "$root"/boot/vmlinuz-* | sort -V | tail -n 1)
  version=${kernel##*/vmlinuz-}
  initrd=$root/boot/initrd.img-$version
  [ -f "$kernel" ] && [ -f "$initrd" ] || die "no kernel or initrd in $root/boot"
  install -m 644 "$initrd" "$work/initrd.img"
  if grep -qx 'CONFIG_PVH=y' "$root/boot/config-$version" && extract_vmlinux "$kernel" "$work/kernel"; then
    log "kernel $version, unpacked for direct (PVH) boot"
  else
    install -m 644 "$kernel" "$work/kernel"
    log "kernel $version"
  fi
  log "root tree $(du -sh --one-file-system "$root" | cut -f1)"
}

# Debian's kernel is an xz-compressed bzImage. Unpacked, it is an ELF file
# that QEMU starts directly through its PVH entry point: no firmware boot
# loader and no decompression, which under emulation saves seconds per boot.
extract_vmlinux() {
  local in=$1 out=$2 offset
  offset=$(LC_ALL=C grep -obUaP '\xfd7zXZ\x00' "$in" | head -n 1 | cut -d: -f1)
  [ -n "$offset" ] || return 1
  tail -c +$((offset + 1)) "$in" >"$out.xz"
  xz -dc --single-stream <"$out.xz" >"$out" 2>/dev/null || return 1
  rm -f "$out.xz"
  [ "$(head -c 4 "$out" | od -An -tx1 | tr -d ' ')" = 7f454c46 ] || return 1
}

make_disk() {
  rm -f "$work/root.img"
  truncate -s "$image_size" "$work/root.img"
  # No journal: every run writes to a throw-away overlay, so there is never
  # anything to replay, and journal writes cost time under emulation.
  mkfs.ext4 -q -F -L vantrel-root -O ^has_journal -m 0 -d "$root" "$work/root.img"
  log "disk: $image_size sparse, $(du -h "$work/root.img" | cut -f1) used"
}

publish() {
  # Running VMs keep reading an old image through their open file.
  rm -rf --one-file-system "$image"
  mkdir -p "$image"
  mv -f "$work/root.img" "$work/kernel" "$work/initrd.img" "$image/"
  mv -f "$work/mmdebstrap.log" "$image/build.log"
  echo "$key" >"$image/stamp"
  rm -rf --one-file-system "$work"
  local old
  for old in "$cache"/images/*/; do
    [ "${old%/}" = "$image" ] || rm -rf --one-file-system "$old"
  done
}

log "building the VM image in $image (mirror $main_mirror)"
step host-tools install_host_tools
step prepare fresh_work_dir
step mmdebstrap run_mmdebstrap
step configure configure_root
step disk make_disk
step publish publish
log "image built in $(elapsed "$build_t0") s"
echo "$image" >&3
