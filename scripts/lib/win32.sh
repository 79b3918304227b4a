# 32-bit wine for the Windows suites: an i386 Debian 12 root whose wine runs the real 32-bit build.
# Source it after steps.sh. A whole i386 root, every package from one suite, because wine32:i386
# beside an amd64 system breaks whenever the mirror's i386 indexes lag its amd64 ones.

win32_root=${TRELVO_WIN32_ROOT:-$trelvo_root/build/win32-root}
win32_ready=$win32_root/.trelvo-ready
why_no_kernel_i386=""

# kernel_runs_i386: true where this kernel runs i386 programs. A missing /lib/ld-linux.so.2 says
# nothing about the kernel; a static i386 program that must exit with 42 does.
kernel_runs_i386() {
  local dir prog rc=0
  dir=$(mktemp -d "${TMPDIR:-/tmp}/trelvo-i386.XXXXXX") || { why_no_kernel_i386="no temporary folder"; return 1; }
  prog=$dir/exit42
  # ELF32 header, one PT_LOAD header, then: mov ebx,42; mov eax,1 (exit); int 0x80.
  printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00''\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00''\xbb\x2a\x00\x00\x00\xb8\x01\x00\x00\x00\xcd\x80' >"$prog"
  chmod +x "$prog"
  "$prog" 2>/dev/null || rc=$?
  if ((rc == 42)); then
    why_no_kernel_i386=""
  elif ((rc == 126)) && findmnt -no OPTIONS --target "$dir" 2>/dev/null | grep -qw noexec; then
    why_no_kernel_i386="the temporary folder $(dirname "$dir") is mounted noexec, so no test program can run from it (set TMPDIR to another folder)"
  else
    why_no_kernel_i386="this machine's kernel runs no i386 programs (a static i386 program ended with status $rc, not 42)"
  fi
  rm -rf "$dir"
  [[ -z $why_no_kernel_i386 ]]
}

# runs_win32_programs: true where the i386 root's 32-bit wine is ready to run the Windows suites
# (scripts/ci-win32 builds it). why_no_win32 says why not.
why_no_win32=""
runs_win32_programs() {
  if ! kernel_runs_i386; then
    why_no_win32=$why_no_kernel_i386
  elif [[ ! -f $win32_ready ]]; then
    why_no_win32="no 32-bit wine: the i386 root ${win32_root#"$trelvo_root"/} is not built (scripts/ci-win32 builds it)"
  elif [[ $(id -u) -ne 0 ]]; then
    why_no_win32="the i386 root's wine needs root (it mounts the build folder into the root)"
  else
    why_no_win32=""
    return 0
  fi
  return 1
}

# win32_mirror: the Debian mirror this machine's own apt sources name for bookworm.
win32_mirror() {
  local uri
  uri=$(apt_sources | awk '$2 == "bookworm" { print $1; exit }')
  [[ -n $uri ]] && echo "$uri"
}

# win32_root_build: builds the i386 root (debootstrap, then wine) unless its ready-marker is there.
win32_root_build() {
  [[ -f $win32_ready ]] && return 0
  local mirror
  mirror=$(win32_mirror) || { echo "no bookworm mirror in this machine's apt sources" >&2; return 1; }
  command -v debootstrap >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap
  rm -rf --one-file-system "$win32_root"
  mkdir -p "$win32_root"
  debootstrap --arch=i386 --variant=minbase bookworm "$win32_root" "$mirror"
  printf 'deb %s bookworm main\ndeb %s bookworm-updates main\n' "$mirror" "$mirror" >"$win32_root/etc/apt/sources.list"
  win32_in_root /bin/sh -c 'apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends wine wine32 fonts-wine &&
    apt-get clean'
  touch "$win32_ready"
}

# win32_in_root COMMAND...: runs COMMAND inside the root in a private mount namespace: /proc, /dev,
# /tmp, the repository (so its build folders, at the same paths) and TRELVO_WIN32_BINDS (folders
# separated by ':') are mounted for it, and go with the namespace's last process, however it ends.
win32_in_root() {
  # Outer folders first: /tmp mounted after a repository inside it would hide it.
  local binds=(/tmp) extra
  [[ -n ${TMPDIR:-} && -d $TMPDIR ]] && binds+=("$TMPDIR")
  binds+=("$trelvo_root")
  if [[ -n ${TRELVO_WIN32_BINDS:-} ]]; then
    IFS=: read -ra extra <<<"$TRELVO_WIN32_BINDS"
    binds+=("${extra[@]}")
  fi
  unshare --mount --propagation private -- /bin/bash -c '
    set -e
    r=$1; shift
    mount --rbind /dev "$r/dev"
    mount -t proc proc "$r/proc"
    cp -L /etc/resolv.conf "$r/etc/resolv.conf" 2>/dev/null || true
    while [[ $1 != -- ]]; do
      mkdir -p "$r$1"
      mount --bind "$1" "$r$1"
      shift
    done
    shift
    cwd=$PWD
    [[ -d $r$cwd ]] || cwd=/
    exec chroot "$r" /usr/bin/env PATH=/usr/local/bin:/usr/bin:/bin HOME=/root /bin/sh -c "cd \"\$0\" && exec \"\$@\"" "$cwd" "$@"
  ' _ "$win32_root" "${binds[@]}" -- "$@"
}
