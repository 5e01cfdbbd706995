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
# already uses. Needs root (debootstrap, chroot).
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

[ "$(id -u)" = 0 ] || die "building the VM image needs root (debootstrap, chroot)"

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

host_packages=(debootstrap qemu-system-x86 qemu-utils e2fsprogs xz-utils)

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
# (proxies, tolerance of an old Release file) apply inside the chroot too.
host_apt_settings() {
  apt-config dump 2>/dev/null |
    grep -E '^Acquire::(Check-Valid-Until|Check-Date|https?::Proxy|http::Proxy::[^ ]+) ' || true
}
proxy=$(apt-config dump 2>/dev/null | sed -n 's/^Acquire::http::Proxy "\(.*\)";$/\1/p')

# --- the root tree ----------------------------------------------------------

work=$cache/build
root=$work/root

fresh_work_dir() {
  # Mounts for the chroot live in private mount namespaces (below), so
  # nothing is mounted under $root here; --one-file-system guards anyway.
  if [ -e "$work" ]; then
    if findmnt -rno TARGET | awk -v r="$root" 'index($0, r) == 1 { found = 1 } END { exit !found }'; then
      die "something is still mounted under $root; unmount it first"
    fi
    rm -rf --one-file-system "$work"
  fi
  mkdir -p "$work"
}

run_debootstrap() {
  # debootstrap mounts /proc and /sys in the target itself: a private mount
  # namespace drops them even when it fails half-way.
  http_proxy=${proxy:-${http_proxy:-}} \
    unshare --mount --propagation private \
    debootstrap --variant=minbase --arch=amd64 "$suite" "$root" "$main_mirror" \
    >"$work/debootstrap.log" 2>&1 ||
    { tail -n 30 "$work/debootstrap.log" >&2; die "debootstrap failed (log: $work/debootstrap.log)"; }
}

write_apt_config() {
  {
    echo "Types: deb"
    echo "URIs: $main_mirror"
    echo "Suites: $suite${updates_mirror:+ $suite-updates}"
    echo "Components: main"
    echo "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg"
    if [ -n "$security_mirror" ]; then
      echo
      echo "Types: deb"
      echo "URIs: $security_mirror"
      echo "Suites: $suite-security"
      echo "Components: main"
      echo "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg"
    fi
  } >"$root/etc/apt/sources.list.d/debian.sources"
  rm -f "$root/etc/apt/sources.list"

  {
    echo 'APT::Install-Recommends "false";'
    echo 'APT::Install-Suggests "false";'
    host_apt_settings
  } >"$root/etc/apt/apt.conf.d/00vantrel-vm"

  # Documentation, manuals and translations are of no use in a test VM and
  # make up a good part of the image; copyright files stay. udev's initrd
  # parts go too (see the initrd below).
  cat >"$root/etc/dpkg/dpkg.cfg.d/vantrel-vm" <<'EOF'
force-unsafe-io
path-exclude /usr/share/doc/*
path-include /usr/share/doc/*/copyright
path-exclude /usr/share/man/*
path-exclude /usr/share/info/*
path-exclude /usr/share/locale/*
path-exclude /usr/share/lintian/*
path-exclude /usr/share/initramfs-tools/hooks/udev
path-exclude /usr/share/initramfs-tools/scripts/init-top/udev
path-exclude /usr/share/initramfs-tools/scripts/init-bottom/udev
EOF

  # No service may start in the chroot.
  printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
  chmod 755 "$root/usr/sbin/policy-rc.d"

  # The initrd only has to find an ext4 root on a virtio disk; listing its
  # modules instead of "most" makes it small and quick to unpack and build,
  # and leaving udev out of it (the excludes above) saves seconds of boot
  # under emulation: the modules are loaded by name.
  mkdir -p "$root/etc/initramfs-tools/conf.d" "$root/etc/initramfs-tools/hooks"
  printf 'MODULES=list\nCOMPRESS=gzip\n' >"$root/etc/initramfs-tools/conf.d/vantrel-vm"
  cat >"$root/etc/initramfs-tools/hooks/vantrel-vm" <<'EOF'
#!/bin/sh
[ "$1" = prereqs ] && exit 0
. /usr/share/initramfs-tools/hook-functions
force_load virtio_pci
force_load virtio_blk
force_load ext4
EOF
  chmod 755 "$root/etc/initramfs-tools/hooks/vantrel-vm"
}

# Runs inside a private mount namespace: the mounts the package scripts need
# vanish with it, whether the install works or not, and never show up on the
# host.
chroot_install() {
  local root=$1
  shift
  mount -t proc proc "$root/proc"
  mount -t sysfs sysfs "$root/sys"
  mount --rbind /dev "$root/dev"
  mount -t tmpfs tmpfs "$root/run"
  mount -t tmpfs tmpfs "$root/tmp"
  local in_root=(env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8
                 DEBIAN_FRONTEND=noninteractive DEBCONF_NONINTERACTIVE_SEEN=true
                 chroot "$root")
  "${in_root[@]}" dpkg --add-architecture i386
  "${in_root[@]}" apt-get -qq update
  "${in_root[@]}" apt-get -y -q -o Dpkg::Options::=--force-confold install "$@"
  "${in_root[@]}" apt-get clean
}

install_packages() {
  local packages
  mapfile -t packages < <(sed -e 's/#.*//' -e 's/[[:space:]]//g' -e '/^$/d' "$packages_file")
  unshare --mount --propagation private \
    bash -euo pipefail -c "$(declare -f chroot_install); chroot_install \"\$@\"" \
    chroot_install "$root" "${packages[@]}" >"$work/install.log" 2>&1 ||
    { tail -n 40 "$work/install.log" >&2; die "package install failed (log: $work/install.log)"; }
}

configure_root() {
  rm -rf "$root"/var/lib/apt/lists/* "$root"/var/cache/apt/*.bin \
         "$root"/var/log/* "$root"/usr/share/man "$root"/usr/share/info
  # A minbase root has no /etc/hosts, and without it nothing resolves
  # "localhost", which the local test servers are named.
  printf '127.0.0.1 localhost vantrel-vm\n' >"$root/etc/hosts"
  echo vantrel-vm >"$root/etc/hostname"
  # The VM has no network: no name servers.
  rm -f "$root/etc/resolv.conf"
  : >"$root/etc/resolv.conf"
  install -m 755 "$here/guest-init.sh" "$root/sbin/vantrel-init"

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
  mv -f "$work/debootstrap.log" "$image/build-debootstrap.log"
  mv -f "$work/install.log" "$image/build-install.log"
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
step debootstrap run_debootstrap
write_apt_config
step packages install_packages
step configure configure_root
step disk make_disk
step publish publish
log "image built in $(elapsed "$build_t0") s"
echo "$image" >&3
