#!/usr/bin/env bash
# Runs one command inside a Debian VM under QEMU, where the VM's own Wine
# (wine + wine64 + wine32:i386, the ordinary WOW64 set-up) can run the i686
# installer. Our build machines' kernels refuse 32-bit x86 code, so the host's
# Wine can't; a full-system emulator needs nothing from the host kernel.
#
# Usage:
#   tools/vm/run.sh [--accel auto|kvm|tcg] [--mem MB] [--] COMMAND [ARGS...]
# e.g.
#   tools/vm/run.sh -- ctest --test-dir build/test-i686 --output-on-failure
#   tools/vm/run.sh -- bash -c 'export WINEPREFIX=/tmp/p WINEARCH=win64
#       /usr/lib/wine/wine64 wineboot --init && wineserver -w &&
#       wine build/test-i686/VantrelSetup.exe --verify'
#
# - The image is built (or found up to date) by tools/vm/build-image.sh in
#   VM_DIR ($VANTREL_VM_DIR, default /var/cache/vantrel-vm, shared by every
#   clone on this machine and keyed by what the image is built from). Each
#   run boots it through a throw-away copy-on-write overlay: nothing a run
#   does to the VM's own disk survives it.
# - The project root is shared read-write (9p) at the same absolute path, so
#   absolute paths that CMake wrote into build folders hold inside the VM.
#   COMMAND runs as root with the caller's working folder when that lies in
#   the project, else the project root.
# - /tmp in the VM is a tmpfs of 75 % of its memory; Wine prefixes belong
#   there rather than on the share.
# - Environment: only CI, VANTREL_* and TERM reach COMMAND, plus the names
#   listed in VANTREL_VM_ENV (space-separated). PATH and HOME are the VM's.
# - When stdin and stdout are a terminal, the VM's serial line is COMMAND's
#   terminal; otherwise COMMAND reads /dev/null and writes into a pipe. Its
#   output (stdout and stderr together) streams to stdout.
# - Exit status: COMMAND's; 124 when the VM ran past $VANTREL_VM_TIMEOUT
#   seconds (default 3600); 125 when the VM stopped without an exit status.
# - --accel auto (default, or $VANTREL_VM_ACCEL) uses KVM only when /dev/kvm
#   is usable and a short probe boot under it works (the answer is cached in
#   VM_DIR); otherwise TCG. --mem defaults to $VANTREL_VM_MEM or 16384 (the
#   end-to-end tests keep several Wine prefixes in the VM's /tmp at once).
# - The last line on stderr names the executor and the boot and total times.
#   The VM's kernel log of the last run is kept in VM_DIR/last-console.log.
# - Also read: VANTREL_VM_BOOT_TIMEOUT (seconds to reach COMMAND, default
#   120; a boot that doesn't is tried once more), VANTREL_VM_TCG_CPU (QEMU
#   -cpu under TCG), VANTREL_VM_KERNEL_ARGS (added to the kernel's command
#   line, e.g. ignore_loglevel).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
project=$(cd "$here/../.." && pwd -P)
project_logical=$(cd "$here/../.." && pwd)

accel=${VANTREL_VM_ACCEL:-auto}
mem=${VANTREL_VM_MEM:-16384}
timeout_s=${VANTREL_VM_TIMEOUT:-3600}
vm_dir=${VANTREL_VM_DIR:-/var/cache/vantrel-vm}
image=   # the image folder build-image.sh names

# The CPU model under TCG: x86-64 plus SSSE3, SSE4.1/4.2 and POPCNT. Wine
# created a prefix in about half the time with it than with plain qemu64 or
# with "max" less SMAP. "max" itself can't be used: QEMU 7.2's TCG reads the
# frame of a user-mode IRET as a supervisor access, which SMAP forbids, so
# Wine's processes die in a kernel oops at their first return from a system
# call.
tcg_cpu=${VANTREL_VM_TCG_CPU:-qemu64,+ssse3,+sse4.1,+sse4.2,+popcnt}

# Lines of the VM's kernel log worth showing after a run that went well.
kernel_trouble='Out of memory|oom-kill|Killed process|BUG:|Oops|hung_task|blocked for more than|I/O error|EXT4-fs error|9pnet.*error'

log() { echo "vm: $*" >&2; }
die() { log "error: $*"; exit 125; }
bad_usage() { log "error: $*"; exit 2; }
usage() { sed -n '/^# Usage:/,/^set -euo/p' "$0" | sed -e '/^set /d' -e 's/^# \{0,1\}//' >&2; exit 2; }
now() { echo "${EPOCHREALTIME/,/.}"; }
secs() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", b - a }'; }

qemu_pid=
run_dir=
cleanup() {
  if [ -n "$qemu_pid" ] && kill -0 "$qemu_pid" 2>/dev/null; then
    kill -TERM "$qemu_pid" 2>/dev/null || true
    wait "$qemu_pid" 2>/dev/null || true
  fi
  # QEMU leaves a terminal raw when it is killed.
  if [ -t 0 ]; then stty sane 2>/dev/null || true; fi
  if [ -n "$run_dir" ]; then rm -rf --one-file-system "$run_dir"; fi
}

# Writes the job script that the VM's init runs: the passed environment, the
# working folder and the command, each quoted for bash.
write_job() {
  local interactive=$1 name cwd term=dumb
  shift
  cwd=$(pwd -P)
  case $cwd/ in "$project"/*) ;; *) cwd=$project ;; esac
  [ "$interactive" = 1 ] && term=${TERM:-dumb}
  echo "# written by tools/vm/run.sh"
  for name in $(compgen -e); do
    case $name in
      CI|VANTREL_*) printf 'export %s=%q\n' "$name" "${!name}" ;;
    esac
  done
  for name in ${VANTREL_VM_ENV:-}; do
    [[ $name =~ ^[A-Za-z_][A-Za-z0-9_]*$ ]] || bad_usage "VANTREL_VM_ENV: '$name' is not a variable name"
    if [ -n "${!name+set}" ]; then printf 'export %s=%q\n' "$name" "${!name}"; fi
  done
  printf 'export TERM=%q\n' "$term"
  printf 'cd %q || exit 125\n' "$cwd"
  printf 'exec'
  printf ' %q' "$@"
  echo
}

# boot ACCEL CPU LIMIT INTERACTIVE -- COMMAND...: boots the VM once and runs
# COMMAND in it, for at most LIMIT seconds. Sets vm_rc (COMMAND's status, or
# 124/125 with vm_error), boot_s (host clock, from QEMU's start to COMMAND's)
# and kernel_s (the part of it since the VM's kernel started).
boot() {
  local accel=$1 cpu=$2 limit=$3 interactive=$4
  shift 5
  vm_error=
  run_dir=$(mktemp -d "$vm_dir/runs/XXXXXX")
  echo $$ >"$run_dir/owner"
  local share=$run_dir/share
  mkdir "$share"
  echo "$project" >"$share/project-root"
  if [ "$project_logical" != "$project" ]; then
    echo "$project_logical" >"$share/project-alias"
  fi
  if [ "$interactive" = 1 ]; then
    stty size 2>/dev/null >"$share/tty" || : >"$share/tty"
  fi
  write_job "$interactive" "$@" >"$share/job"

  qemu-img create -q -f qcow2 -b "$image/root.img" -F raw "$run_dir/disk.qcow2"

  local accel_args
  if [ "$accel" = kvm ]; then
    accel_args=(-accel kvm -cpu "$cpu")
  else
    accel_args=(-accel tcg,thread=multi -cpu "$cpu")
  fi
  # The job's output goes to the first serial line (stdio); the kernel's
  # console to the second, a log file, so that it never mixes with it.
  # QEMU ends with this script even when it is killed outright (pdeathsig).
  # In its option values a comma must be doubled.
  local qemu=(
    setpriv --pdeathsig TERM -- qemu-system-x86_64 -name vantrel-vm
    -nodefaults -no-user-config -display none -vga none -nic none -no-reboot
    "${accel_args[@]}" -smp 2 -m "$mem"
    -kernel "$image/kernel" -initrd "$image/initrd.img"
    -append "console=ttyS1 root=/dev/vda rw rootfstype=ext4 init=/sbin/vantrel-init panic=-1 mitigations=off cryptomgr.notests ${VANTREL_VM_KERNEL_ARGS:-}"
    -drive "file=${run_dir//,/,,}/disk.qcow2,format=qcow2,if=virtio,cache=unsafe,discard=unmap"
    -virtfs "local,path=${project//,/,,},mount_tag=project,security_model=none,multidevs=remap"
    -virtfs "local,path=${share//,/,,},mount_tag=vmrun,security_model=none"
    -device virtio-rng-pci
    -chardev stdio,id=job,signal=on -serial chardev:job
    -serial "file:${run_dir//,/,,}/console.log"
  )

  # QEMU runs in the background so that the traps can stop it, and so that
  # a VM that never reaches COMMAND (a broken image drops to a rescue shell
  # and waits) is stopped after boot_limit rather than the whole limit.
  local t0 rc=0 started_at=$SECONDS boot_limit=${VANTREL_VM_BOOT_TIMEOUT:-120}
  t0=$(now)
  if [ "$interactive" = 1 ]; then
    "${qemu[@]}" <&0 &
  else
    "${qemu[@]}" </dev/null &
  fi
  qemu_pid=$!
  while kill -0 "$qemu_pid" 2>/dev/null; do
    sleep 0.2
    if [ ! -e "$share/started" ] && [ $((SECONDS - started_at)) -ge "$boot_limit" ]; then
      vm_error="the VM did not reach COMMAND within $boot_limit s and was stopped"
      break
    fi
    if [ $((SECONDS - started_at)) -ge "$limit" ]; then
      vm_error="the VM ran past its time limit of $limit s and was stopped"
      break
    fi
  done
  if [ -n "$vm_error" ]; then
    kill -TERM "$qemu_pid" 2>/dev/null || true
    sleep 1
    kill -KILL "$qemu_pid" 2>/dev/null || true
  fi
  wait "$qemu_pid" || rc=$?
  qemu_pid=

  boot_s=? kernel_s=? vm_started=0
  if [ -e "$share/started" ]; then
    vm_started=1
    boot_s=$(secs "$t0" "$(stat -c %.9Y "$share/started")")
    kernel_s=$(cat "$share/started")
  fi
  if [ -n "$vm_error" ]; then
    case $vm_error in *"time limit"*) vm_rc=124 ;; *) vm_rc=125 ;; esac
  elif [ -s "$share/exit-code" ]; then
    vm_rc=$(cat "$share/exit-code")
  else
    vm_rc=125
    vm_error="the VM stopped without reporting an exit status (QEMU exit status $rc)"
  fi

  cp -f "$run_dir/console.log" "$vm_dir/last-console.log" 2>/dev/null || true
  if [ -n "$vm_error" ]; then
    log "last lines of the VM's console:"
    tail -n 25 "$run_dir/console.log" >&2 || true
    log "(the whole console log: $vm_dir/last-console.log)"
  elif grep -qE "$kernel_trouble" "$run_dir/console.log" 2>/dev/null; then
    log "the VM's kernel reported:"
    grep -E "$kernel_trouble" "$run_dir/console.log" | head -n 20 >&2
    log "(the whole console log: $vm_dir/last-console.log)"
  fi
  rm -rf --one-file-system "$run_dir"
  run_dir=
}

# KVM only where it is there and really boots this image: on some hosts QEMU
# with KVM fails at start (an MSR it can't set) or hangs in the firmware. The
# answer is kept per host kernel, QEMU and image.
kvm_cpu=
probe_kvm() {
  [ -c /dev/kvm ] && [ -r /dev/kvm ] && [ -w /dev/kvm ] || return 1
  local key cache=$vm_dir/kvm-probe
  key="$(uname -r) $(qemu-system-x86_64 --version | head -n 1) $(cat "$image/stamp")"
  if [ "$(sed -n 1p "$cache" 2>/dev/null)" = "$key" ]; then
    kvm_cpu=$(sed -n 2p "$cache")
    [ -n "$kvm_cpu" ]
    return
  fi
  local cpu vm_error=
  for cpu in host host,-arch-capabilities; do
    log "probing KVM with -cpu $cpu"
    VANTREL_VM_BOOT_TIMEOUT=30 boot kvm "$cpu" 30 0 -- true >/dev/null 2>&1 || true
    if [ "$vm_rc" = 0 ]; then
      kvm_cpu=$cpu
      break
    fi
  done
  printf '%s\n%s\n' "$key" "$kvm_cpu" >"$cache"
  [ -n "$kvm_cpu" ]
}

main() {
  while [ $# -gt 0 ]; do
    case $1 in
      --accel) accel=${2:?--accel needs a value}; shift 2 ;;
      --accel=*) accel=${1#*=}; shift ;;
      --mem) mem=${2:?--mem needs a value}; shift 2 ;;
      --mem=*) mem=${1#*=}; shift ;;
      -h|--help) usage ;;
      --) shift; break ;;
      -*) log "error: unknown option $1"; usage ;;
      *) break ;;
    esac
  done
  [ $# -gt 0 ] || usage
  case $accel in auto|kvm|tcg) ;; *) bad_usage "--accel must be auto, kvm or tcg" ;; esac
  [[ $mem =~ ^[0-9]+$ ]] || bad_usage "--mem must be a number of MB"
  [[ $timeout_s =~ ^[0-9]+$ ]] || bad_usage "VANTREL_VM_TIMEOUT must be a number of seconds"
  if [ "$accel" = kvm ] && ! { [ -r /dev/kvm ] && [ -w /dev/kvm ]; }; then
    die "--accel kvm: /dev/kvm is missing or not usable here"
  fi

  local t_start
  t_start=$(now)
  image=$("$here/build-image.sh" "$vm_dir" | tail -n 1)
  [ -f "$image/root.img" ] || die "no VM image (build-image.sh named '$image')"
  vm_dir=$(cd "$vm_dir" && pwd)

  # Runs left behind by a run.sh that was killed outright hold a disk overlay.
  mkdir -p "$vm_dir/runs"
  local old owner
  for old in "$vm_dir"/runs/*/; do
    [ -d "$old" ] || continue
    owner=$(cat "$old/owner" 2>/dev/null || echo 0)
    kill -0 "$owner" 2>/dev/null || rm -rf --one-file-system "$old"
  done

  trap cleanup EXIT
  trap 'log "interrupted"; exit 130' INT
  trap 'log "terminated"; exit 143' TERM

  local executor
  case $accel in
    kvm) kvm_cpu=host; executor=KVM ;;
    tcg) executor=TCG ;;
    auto) if probe_kvm; then executor=KVM; else executor=TCG; fi ;;
  esac
  local interactive=0
  if [ -t 0 ] && [ -t 1 ]; then interactive=1; fi
  local cpu=$tcg_cpu
  if [ "$executor" = KVM ]; then
    cpu=$kvm_cpu
    log "accelerator: KVM (-cpu $cpu)"
  else
    log "accelerator: TCG (-cpu $cpu, multi-threaded)"
  fi
  # A boot that never reached COMMAND is tried once more: COMMAND has not
  # run, so nothing is done twice. (Seen once on a busy host: a VM that had
  # not reached COMMAND after five minutes, then a dozen normal boots.)
  local attempt started_at=$SECONDS
  for attempt in 1 2; do
    boot "${executor,,}" "$cpu" $((timeout_s - (SECONDS - started_at))) "$interactive" -- "$@"
    if [ "$vm_started" = 1 ] || [ "$attempt" = 2 ]; then break; fi
    log "error: $vm_error; booting again"
  done

  if [ -n "$vm_error" ]; then log "error: $vm_error"; fi
  log "executor: VM under $executor, boot to command $boot_s s ($kernel_s s of it since the VM's kernel started), total $(secs "$t_start" "$(now)") s, exit status $vm_rc"
  return "$vm_rc"
}

# The whole script is read before it runs: editing or checking out a new
# version while a VM is running can't change what this run does.
main "$@"; exit
