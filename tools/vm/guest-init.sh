#!/bin/bash
# PID 1 of the test VM (installed as /sbin/vantrel-init by build-image.sh).
#
# It sets up just enough of a system for Wine, Xvfb and the test runners,
# mounts the two 9p shares that run.sh offers, runs the job that run.sh wrote
# into the run share, leaves the job's exit code there and powers off. There
# is no service manager: nothing else is running in the VM unless the job
# starts it.
#
# The run share (mount tag "vmrun") holds, from run.sh:
#   project-root   absolute host path of the project; mounted at that same
#                  path here so that paths CMake wrote into build folders hold
#   project-alias  optional second path (the logical one, when the host
#                  reached the project through a symlink); made a symlink
#   job            bash script: environment, working folder, the command
#   tty            present when the host's stdin and stdout are a terminal
#                  (holds "ROWS COLS")
# and gets back:
#   started        written just before the job starts: the guest's uptime
#                  (the host times the whole boot by its mtime, which the
#                  host's clock sets)
#   exit-code      the job's exit status
set -u
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export HOME=/root
umask 022

fail() {
  echo "vm-init: $*" >&2
  # A kernel panic (PID 1 exits) ends QEMU through -no-reboot; run.sh then
  # reports that no exit code was written.
  exit 1
}

# Under emulation every program started costs about a tenth of a second, so
# this script uses shell builtins where it can.
mounted() {
  local dev dir rest
  while read -r dev dir rest; do [ "$dir" = "$1" ] && return 0; done </proc/mounts
  return 1
}

# initramfs-tools moves its /proc, /sys, /dev and /run over; mount whatever
# is missing so the script also works when booted without an initrd.
[ -e /proc/mounts ] || mount -t proc proc /proc
mounted /sys || mount -t sysfs sysfs /sys
mounted /dev || mount -t devtmpfs devtmpfs /dev
mounted /run || mount -t tmpfs -o mode=0755,nosuid,nodev tmpfs /run
mkdir -p /dev/pts /dev/shm /run/lock /mnt/vmrun
mount -t devpts -o gid=5,mode=620,ptmxmode=666 devpts /dev/pts
mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs /dev/shm
# udev would make these; bash's process substitution needs /dev/fd.
ln -sfn /proc/self/fd /dev/fd
ln -sfn /proc/self/fd/0 /dev/stdin
ln -sfn /proc/self/fd/1 /dev/stdout
ln -sfn /proc/self/fd/2 /dev/stderr
# Wine prefixes (1.3 GB each) are copied into /tmp: give it most of RAM
# rather than the disk overlay, which is slower under emulation.
mount -t tmpfs -o mode=1777,nosuid,nodev,size=75% tmpfs /tmp

echo 1 >/proc/sys/kernel/sysrq
echo vantrel-vm >/proc/sys/kernel/hostname
ulimit -n 65536 2>/dev/null || true
ip link set lo up || fail "cannot bring up the loopback interface"

# virtio_rng feeds the host's randomness to the kernel: without it the
# random pool of a CPU model with no RDRAND is ready only seconds after the
# job started, and programs asking for random bytes wait for it.
modprobe -qa 9pnet_virtio 9p virtio_rng || fail "cannot load the 9p and virtio-rng modules"
# msize: bigger messages cut the round trips of each read and write; 512000
# is the most the virtio transport of this kernel accepts.
# cache=loose keeps pages and attributes of the shared files in the guest;
# nothing on the host changes the tree while the job runs, and writes reach
# the host at the latest on the sync below. Measured against cache=none and
# cache=mmap: it reads a tree of Wine's DLLs about three times as fast, but
# writes slowly (3-25 MB/s against 75 MB/s and more), so large scratch files
# belong in /tmp. vantrel.9p_cache=MODE on the kernel command
# line (run.sh's VANTREL_VM_KERNEL_ARGS) picks another mode.
p9_cache=loose
read -r -a cmdline </proc/cmdline
for arg in "${cmdline[@]}"; do
  case $arg in vantrel.9p_cache=*) p9_cache=${arg#*=} ;; esac
done
p9_opts=trans=virtio,version=9p2000.L,msize=512000
run=/mnt/vmrun
# The run share is never cached: its few small files must reach the host
# when they are written (run.sh times the boot by when "started" appears).
mount -t 9p -o "$p9_opts,cache=none" vmrun "$run" || fail "cannot mount the run share"

read -r project <"$run/project-root" || fail "run share has no project-root"
mkdir -p "$project"
mount -t 9p -o "$p9_opts,cache=$p9_cache" project "$project" || fail "cannot mount $project"
if [ -s "$run/project-alias" ]; then
  read -r alias <"$run/project-alias"
  if [ ! -e "$alias" ]; then
    mkdir -p "$(dirname "$alias")"
    ln -s "$project" "$alias"
  fi
fi

# The job's output goes to the first serial line (the kernel's console is
# the second, which run.sh keeps in a log file): no CR added to each LF (the
# host terminal adds its own), and the host's window size when there is one.
console=/dev/ttyS0
stty -F "$console" -onlcr 2>/dev/null || true
if [ -s "$run/tty" ]; then
  read -r rows cols <"$run/tty"
  stty -F "$console" rows "$rows" cols "$cols" 2>/dev/null || true
fi

# The job gets a clean environment: what the kernel and the initrd leave in
# PID 1's is of no use to it. The job script sets the rest.
job=(env -i PATH="$PATH" HOME="$HOME" setsid -w)
read -r uptime _ </proc/uptime
echo "$uptime" >"$run/started"
out_pid=
if [ -e "$run/tty" ]; then
  # Interactive: the serial line is the job's terminal and stdin.
  "${job[@]}" -c /bin/bash "$run/job" <"$console" >"$console" 2>&1
  rc=$?
else
  # Otherwise the job writes into a pipe, as it would on a build machine
  # whose output is logged: programs that see a terminal behave differently
  # (Wine's console, for one, then redraws every character it prints).
  # Only the job is waited for: a server it left running (Xvfb, wineserver)
  # keeps the pipe open until it is stopped below.
  exec {out}> >(exec cat >"$console")
  out_pid=$!
  "${job[@]}" /bin/bash "$run/job" </dev/null >&"$out" 2>&1 {out}>&-
  rc=$?
  exec {out}>&-
fi

# Whatever the job left running goes now, so that everything is written
# back to the shares before they are unmounted. The output pipe's reader is
# spared until it has passed on the last of the job's output.
signal_all_but_output() {
  local p
  for p in /proc/[0-9]*; do
    p=${p#/proc/}
    [ "$p" = 1 ] || [ "$p" = "$out_pid" ] || kill "-$1" "$p" 2>/dev/null
  done
}
signal_all_but_output TERM
sleep 0.3
signal_all_but_output KILL
if [ -n "$out_pid" ]; then wait "$out_pid"; fi
echo "$rc" >"$run/exit-code"
sync
umount "$project" 2>/dev/null
umount "$run" 2>/dev/null
sync
echo o >/proc/sysrq-trigger
sleep 60
fail "power-off did not happen"
