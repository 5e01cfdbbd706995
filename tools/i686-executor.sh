# Sourced by every script that runs the shipped 32-bit program: what runs
# i386 code on this machine. Wine's 32-bit loader is an i386 Linux program, so
# whether it starts is the question.
#
#   host  the kernel runs the 32-bit loader itself (ordinary WOW64 Wine).
#   qemu  the kernel refuses it (ENOEXEC: IA-32 emulation is off). qemu's
#         user-mode emulator becomes the handler of i386 programs in a
#         binfmt_misc of our own, inside a private user and mount namespace;
#         wineserver and the 64-bit side of Wine stay native. Nothing changes
#         for the rest of the machine. Needs kernel 6.7+ (private binfmt_misc),
#         user namespaces, and qemu-user 8 or later (Debian 12's 7.2 ignores
#         MAP_FIXED_NOREPLACE and takes a minute to start each 32-bit
#         process; tools/setup.sh installs qemu 10 from bookworm-backports).
#
# VANTREL_I686_EXECUTOR=host|qemu forces a choice. Because binfmt_misc is
# consulted before the kernel's own ELF loaders, qemu works on either kind of
# kernel.
#
# choose_i686_executor   sets i686_executor (host or qemu), i686_reason (why
#                        not host) and i686_summary (a line for the output);
#                        fails, saying why, where neither can be had.
# enter_i686_executor SCRIPT ARGS...
#                        for qemu: re-executes SCRIPT once inside the private
#                        namespace with the registration, so the script, its
#                        ctest, pytest, wineserver and every Wine process see
#                        it. A no-op for host, and once inside.

I686_QEMU=${VANTREL_QEMU_I386:-/usr/bin/qemu-i386}
# The i386 ELF header (class 32, little-endian, an executable or a shared
# object, machine 3) with the mask Debian's qemu-user-binfmt uses.
I686_MAGIC='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
I686_MASK='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

# qemu_i386_major: the major version of the emulator, empty when there is none.
qemu_i386_major() {
  [ -x "$I686_QEMU" ] || return 0
  "$I686_QEMU" --version 2>/dev/null | sed -n '1s/^qemu-i386 version \([0-9]*\)\..*/\1/p'
}

# i686_host_probe: whether this kernel starts Wine's 32-bit loader by itself.
# Inside our namespace the answer is the emulator's, so ask only outside it.
i686_host_probe() {
  local probe
  if probe=$(/usr/lib/wine/wine --version 2>&1 >/dev/null); then
    i686_reason=""
    return 0
  fi
  i686_reason=$(printf '%s' "$probe" | head -c 300 | tr '\n' ' ')
  return 1
}

choose_i686_executor() {
  if [ -n "${VANTREL_I686_INSIDE:-}" ]; then
    # Re-executed by enter_i686_executor: the choice was made outside.
    i686_executor=qemu
    i686_reason=${VANTREL_I686_REASON:-}
  else
    local detected=qemu
    i686_host_probe && detected=host
    i686_executor=${VANTREL_I686_EXECUTOR:-$detected}
    case $i686_executor in
      host|qemu) ;;
      *) echo "VANTREL_I686_EXECUTOR must be host or qemu, not '$i686_executor'" >&2; return 1 ;;
    esac
    if [ "$i686_executor" = host ] && [ "$detected" != host ]; then
      echo "VANTREL_I686_EXECUTOR=host, but this kernel runs no i386 code: $i686_reason" >&2
      return 1
    fi
  fi
  if [ "$i686_executor" = host ]; then
    i686_summary="host (this kernel runs i386 code; the system Wine, ordinary WOW64)"
    return 0
  fi
  local major
  major=$(qemu_i386_major)
  if [ -z "$major" ] || [ "$major" -lt 8 ]; then
    echo "i386 code needs qemu-user 8 or later at $I686_QEMU here${major:+ (found version $major)};" \
         "tools/setup.sh installs it from bookworm-backports" >&2
    return 1
  fi
  i686_summary="qemu ($("$I686_QEMU" --version | head -n 1 | sed 's/^qemu-i386 version //'), user-mode, registered for i386 programs in a private binfmt_misc)"
}

# The commands run as root of the new namespace: mount a binfmt_misc of its
# own, register the emulator (F: opened now, so it is found from any mount
# namespace below), then become the script again.
_i686_namespace_init='
set -e
mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null || {
  echo "run-i686: this kernel gives a user namespace no binfmt_misc of its own (it needs Linux 6.7 or later; this is $(uname -r))." >&2
  echo "run-i686: what would help: a kernel of 6.7 or later, or one with IA-32 emulation on (then the host executor runs i386 code)." >&2
  exit 97
}
printf "%s" ":vantrel-i386:M::$I686_MAGIC:$I686_MASK:$I686_QEMU:F" >/proc/sys/fs/binfmt_misc/register
exec "$@"
'

enter_i686_executor() {
  [ "$i686_executor" = qemu ] || return 0
  [ -z "${VANTREL_I686_INSIDE:-}" ] || return 0
  if ! unshare --user --map-root-user --mount true 2>/dev/null; then
    echo "run-i686: this machine allows no user namespace (kernel.unprivileged_userns_clone or user.max_user_namespaces)," \
         "so i386 code can't be run through qemu here without changing the machine; nothing was changed." >&2
    echo "run-i686: what would help: user namespaces turned on, or a kernel with IA-32 emulation on." >&2
    return 1
  fi
  export VANTREL_I686_INSIDE=1 VANTREL_I686_REASON="$i686_reason" I686_QEMU I686_MAGIC I686_MASK
  exec unshare --user --map-root-user --mount --fork -- /bin/bash -c "$_i686_namespace_init" vantrel-i686 /bin/bash "$@"
}

# The closing line every script prints: what ran the i686 code.
i686_executor_line() {
  [ -n "${i686_reason:-}" ] && echo "this kernel runs no i386 code by itself ($i686_reason)"
  echo "executor: $i686_summary"
}
