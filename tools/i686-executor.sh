# Sourced by the scripts that run the shipped 32-bit program: which executor
# runs it here. Wine's 32-bit loader is an i386 Linux program, so whether it
# starts is the question; ENOEXEC from the kernel means IA-32 emulation is off
# and only the test VM (tools/vm/run.sh) can run i686 code.
#
# choose_i686_executor sets
#   i686_detected  host or vm: what this kernel allows
#   i686_reason    why not, when it runs no i386 code
#   i686_executor  $VANTREL_I686_EXECUTOR when set, else i686_detected
# and fails, saying why, for an unknown value or for "host" where the kernel
# can't.
choose_i686_executor() {
  local probe
  i686_reason=""
  if probe=$(/usr/lib/wine/wine --version 2>&1 >/dev/null); then
    i686_detected=host
  else
    i686_detected=vm
    i686_reason=$(printf '%s' "$probe" | head -c 300 | tr '\n' ' ')
  fi
  i686_executor=${VANTREL_I686_EXECUTOR:-$i686_detected}
  case $i686_executor in
    host|vm) ;;
    *) echo "VANTREL_I686_EXECUTOR must be host or vm, not '$i686_executor'" >&2; return 1 ;;
  esac
  if [ "$i686_executor" = host ] && [ "$i686_detected" != host ]; then
    echo "VANTREL_I686_EXECUTOR=host, but this kernel runs no i386 code: $i686_reason" >&2
    return 1
  fi
}
