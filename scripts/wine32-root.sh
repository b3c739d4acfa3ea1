#!/usr/bin/env bash
# A Debian 12 root with 32-bit Wine, for machines whose own Debian cannot
# install wine32:i386 (its amd64 libraries come from a newer suite than the
# i386 ones it can get). Made from this machine's own Debian mirror, main
# suite only, so that the i386 and amd64 versions agree.
#
#   wine32-root.sh make            # make the root, or reuse it when complete
#   wine32-root.sh run CMD [ARG…]  # run CMD there, in this folder (the clone)
#   wine32-root.sh where           # the root's folder
#   wine32-root.sh check           # exit 0 when this kernel runs 32-bit x86 programs
#   wine32-root.sh emulable        # exit 0 when it does not, but qemu-i386 can stand in
#
# The root lives outside the clone, in $PLINKOR_WINE32_ROOT (default
# /var/cache/plinkor/wine32-root), is made under a lock and marked complete only
# when whole, so a second run (or another clone) reuses it. `run` enters it
# through private mount, PID and network namespaces: its own /proc, /sys, a small
# /dev with a devpts of its own, a tmpfs /tmp, and the clone bound at its own
# path so that the build trees work unchanged. Nothing is mounted on this
# machine, and when CMD ends so does every process it left. The network
# namespace has only lo: everything is installed by `make`, before.
#
# A kernel without IA-32 emulation (ia32_emulation=off) refuses every 32-bit
# program. There the root also gets qemu-i386 (from bookworm-backports: the
# 7.2 in bookworm searches its whole 4 GiB for every mapping, and a 32-bit
# Wine program then takes a minute to start instead of half a second), and
# `run` enters a user namespace as well, where a binfmt_misc of its own (Linux
# 6.7 and later) hands 32-bit programs to it; nothing is registered on this
# machine.
# Needs root.
set -euo pipefail

root=${PLINKOR_WINE32_ROOT:-/var/cache/plinkor/wine32-root}
suite=bookworm
packages=(
  wine wine64 wine32:i386 fonts-wine
  # Wine's X11 driver loads these at run time; with Recommends left out
  # nothing else brings them in, for either architecture.
  libxrender1 libxrender1:i386 libxrandr2 libxrandr2:i386 libxi6 libxi6:i386
  libxcursor1 libxcursor1:i386 libxinerama1 libxinerama1:i386
  libxcomposite1 libxcomposite1:i386 libxfixes3 libxfixes3:i386 libxxf86vm1 libxxf86vm1:i386
  xvfb xauth xdotool socat python3 fontconfig fonts-arphic-uming
  cmake                   # ctest, and the checks it runs with cmake -P
  binutils-mingw-w64-i686 # the import check's objdump, cpack's strip
  iproute2 util-linux     # the program's test: a network namespace with lo up
)

# Where the kernel runs no 32-bit code: the emulator, and the release it comes from.
emulator=qemu-user
emulator_release=$suite-backports
qemu=/usr/bin/qemu-i386

die() {
  echo "wine32-root: $*" >&2
  exit 1
}
case "${1:-}" in where | check | emulable) ;; *) [ "$(id -u)" -eq 0 ] || die "needs root" ;; esac

# Whether this kernel runs 32-bit x86 programs at all: it may be built or
# booted without IA-32 emulation (ia32_emulation=off), and then no root helps.
# The probe is the smallest such program: an exit(0) through int 0x80.
kernel_runs_32bit() {
  local probe status=0
  probe=$(mktemp "${TMPDIR:-/tmp}/plinkor-ia32.XXXXXX")
  printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00'\
'\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00'\
'\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08'\
'\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00'\
'\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80' >"$probe"
  chmod +x "$probe"
  "$probe" 2>/dev/null || status=$?
  rm -f "$probe"
  return "$status"
}

# Whether 32-bit programs can be handed to an emulator in a user namespace of
# our own: its binfmt_misc is private to it.
userns_binfmt() {
  unshare --user --map-root-user --mount --propagation private -- \
    sh -c 'mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc &&
      [ -w /proc/sys/fs/binfmt_misc/register ]' 2>/dev/null
}

# The first mirror this machine takes the main suite from (deb822 or one-line).
host_mirror() {
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk -v suite="$suite" '
      /^[ \t]*$/ { if (uri != "" && found) { print uri; exit } uri = ""; found = 0; next }
      /^URIs:/ { uri = $2 }
      /^Suites:/ { for (i = 2; i <= NF; i++) if ($i == suite) found = 1 }
      END { if (uri != "" && found) print uri }' "$f"
  done
  cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
    awk -v suite="$suite" '$1 == "deb" { sub(/\[[^]]*\] */, ""); if ($3 == suite) print $2 }' || true
}

# enter ROOT NETWORK(0|1) CMD…: CMD inside ROOT, in private namespaces; with
# EMULATE=1 also in a user namespace whose 32-bit programs run under qemu-i386.
enter() {
  local dir=$1 net=$2 emulate=${EMULATE:-0}
  shift 2
  local flags=(--mount --pid --fork --kill-child --propagation private)
  ((emulate)) && flags+=(--user --map-root-user)
  ((net)) && flags+=(--net)
  unshare "${flags[@]}" -- bash -euo pipefail -c '
    r=$1 repo=$2 net=$3 emulate=$4 qemu=$5
    shift 5
    if ((emulate)); then
      # "F": the emulator is opened now, so it serves inside the chroot too.
      mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
      printf "%s" ":plinkor-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:$r$qemu:OCF" \
        >/proc/sys/fs/binfmt_misc/register
    fi
    mount -t proc proc "$r/proc"
    mount -t sysfs sysfs "$r/sys"
    mount -t tmpfs -o mode=755,size=8m dev "$r/dev"
    for node in null:1:3 zero:1:5 full:1:7 random:1:8 urandom:1:9 tty:5:0; do
      IFS=: read -r name major minor <<<"$node"
      if ((emulate)); then # no mknod in a user namespace: the devices are bound
        touch "$r/dev/$name"
        mount --bind "/dev/$name" "$r/dev/$name"
      else
        mknod -m 666 "$r/dev/$name" c "$major" "$minor"
      fi
    done
    mkdir "$r/dev/pts" "$r/dev/shm"
    mount -t devpts -o newinstance,ptmxmode=0666,mode=620 devpts "$r/dev/pts"
    ln -s pts/ptmx "$r/dev/ptmx"
    ln -s /proc/self/fd "$r/dev/fd"
    ln -s /proc/self/fd/0 "$r/dev/stdin"
    ln -s /proc/self/fd/1 "$r/dev/stdout"
    ln -s /proc/self/fd/2 "$r/dev/stderr"
    mount -t tmpfs -o mode=1777 shm "$r/dev/shm"
    mount -t tmpfs -o mode=1777 tmp "$r/tmp"
    if [ -n "$repo" ]; then
      mkdir -p "$r$repo"
      mount --bind "$repo" "$r$repo"
    fi
    ((net)) && ip link set lo up
    exec chroot "$r" /usr/bin/env -i HOME=/root TERM="${TERM:-dumb}" LANG=C.UTF-8 \
      PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
      bash -c "cd \"\${1:-/}\" && shift && exec \"\$@\"" - "$repo" "$@"
  ' - "$dir" "${REPO:-}" "$net" "$emulate" "$qemu" "$@"
}

make_root() {
  local cache stamp want begun=$SECONDS extra=()
  if ! kernel_runs_32bit; then
    userns_binfmt || die "this kernel runs no 32-bit x86 programs (IA-32 emulation is off), and has no binfmt_misc for user namespaces (Linux 6.7) to hand them to qemu-i386: 32-bit Wine cannot run here"
    extra=("$emulator/$emulator_release")
  fi
  cache=$(dirname "$root")
  mkdir -p "$cache"
  exec 9>"$root.lock"
  flock 9
  want=$(printf '%s\n' "$suite" "${packages[@]}" "${extra[@]}")
  stamp="$root/.plinkor-complete"
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ]; then
    echo "wine32-root: reusing $root ($((SECONDS - begun)) s)"
    return
  fi
  local mirror
  mirror=$(host_mirror | head -n1) || true
  [ -n "$mirror" ] || die "no mirror for $suite in /etc/apt/sources.list*"
  local new=$root
  if [ ! -f "$stamp" ]; then
    # Whatever a broken run left is thrown away; the root appears only whole.
    new=$root.new
    rm -rf "$new"
    echo "wine32-root: debootstrap $suite from $mirror into $new"
    local attempt
    for attempt in 1 2 3; do
      # In two stages, so that dpkg may skip its syncs in the second: a root
      # cut short is never marked complete, and is made anew. The /proc and
      # /sys that the second stage mounts belong to a namespace of its own.
      if debootstrap --foreign --variant=minbase "$suite" "$new" "$mirror" >"$cache/debootstrap.log" 2>&1 &&
        mkdir -p "$new/etc/dpkg/dpkg.cfg.d" &&
        echo force-unsafe-io >"$new/etc/dpkg/dpkg.cfg.d/plinkor-unsafe-io" &&
        unshare --mount --propagation private -- \
          chroot "$new" /debootstrap/debootstrap --second-stage >>"$cache/debootstrap.log" 2>&1; then
        break
      fi
      echo "wine32-root: debootstrap failed (try $attempt; $cache/debootstrap.log)" >&2
      ((attempt < 3)) || die "debootstrap failed: $(tail -n 5 "$cache/debootstrap.log")"
      rm -rf "$new"
      sleep 5
    done
    echo "deb $mirror $suite main" >"$new/etc/apt/sources.list"
    printf '#!/bin/sh\nexit 101\n' >"$new/usr/sbin/policy-rc.d"  # no services start here
    chmod +x "$new/usr/sbin/policy-rc.d"
  fi
  cp /etc/resolv.conf "$new/etc/resolv.conf" 2>/dev/null || true
  echo "wine32-root: installing Wine (32- and 64-bit), Xvfb and the test tools${extra:+, and qemu-i386 (this kernel runs no 32-bit programs)}"
  if ((${#extra[@]})); then
    echo "deb $mirror $emulator_release main" >"$new/etc/apt/sources.list.d/$emulator_release.list"
  fi
  REPO='' enter "$new" 0 bash -euo pipefail -c '
    export DEBIAN_FRONTEND=noninteractive
    apt_get() { apt-get -o DPkg::Lock::Timeout=600 -o APT::Install-Recommends=false "$@"; }
    dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
    for attempt in 1 2 3; do
      apt_get -q update && break
      sleep 5
    done
    for attempt in 1 2 3; do
      apt_get -q -y install "$@" && exit 0
      sleep 5
    done
    exit 1
  ' - "${packages[@]}" "${extra[@]}" >"$cache/wine32-root-apt.log" 2>&1 ||
    die "installing into the root failed: $(tail -n 5 "$cache/wine32-root-apt.log")"
  REPO='' enter "$new" 0 apt-get clean
  printf '%s\n' "$want" >"$new/.plinkor-complete"
  [ "$new" = "$root" ] || { rm -rf "$root"; mv "$new" "$root"; }
  echo "wine32-root: $root complete ($((SECONDS - begun)) s, $(du -shx "$root" | cut -f1))"
}

case "${1:-}" in
  make) make_root ;;
  where) echo "$root" ;;
  check) kernel_runs_32bit ;;
  emulable) ! kernel_runs_32bit && userns_binfmt ;;
  run)
    shift
    [ -f "$root/.plinkor-complete" ] || die "no complete root at $root (run: $0 make)"
    emulate=0
    if ! kernel_runs_32bit; then
      [ -x "$root$qemu" ] || die "this kernel runs no 32-bit programs and the root has no $qemu (run: $0 make)"
      echo "wine32-root: this kernel runs no 32-bit x86 programs: in the root they run under $qemu ($("$root$qemu" --version | head -n1))" >&2
      emulate=1
    fi
    EMULATE=$emulate REPO=$PWD enter "$root" 1 "$@"
    ;;
  *) die "usage: $0 make | run CMD [ARG…]" ;;
esac
