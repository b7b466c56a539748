#!/usr/bin/env bash
# roots.sh: the Debian roots, made by debootstrap and cached under $VELLORA_CACHE (default
# /var/cache/vellora), where the interpreters that cannot run on this machine itself are tested:
#   sid     x86-64 Debian unstable with CPython 3.14 and 3.15 (python3.14, python3.15, their -dev and
#           -venv packages, g++): about 3 minutes the first time. Their glibc is newer than this
#           machine's, so they run inside the root only.
#   arm64   arm64 Debian 13 with CPython 3.13 (python3.13, -dev, -venv), run under qemu-user
#           through binfmt_misc: about 10 minutes the first time.
# Usage:
#   bash scripts/roots.sh NAME prepare             make (or find) the root
#   bash scripts/roots.sh NAME run COMMAND         run a shell command there, the checkout at /repo
#   bash scripts/roots.sh NAME path                print the root's folder (making it first)
# Needs root, for debootstrap, binfmt_misc and chroot.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=common.sh
source "$root/scripts/common.sh"

cache="${VELLORA_CACHE:-/var/cache/vellora}"
mirror="${VELLORA_DEBIAN_MIRROR:-http://deb.debian.org/debian}"

log() { printf '==> %s\n' "$*" >&2; }
die() { printf 'roots: %s\n' "$*" >&2; exit 1; }
usage() { die "usage: bash scripts/roots.sh sid|arm64 prepare|path|run COMMAND"; }

# The folder's name says what the root holds: a change to its recipe means a new name.
case "${1:-}" in
  sid)
    suite=sid arch=amd64 system="$cache/sid-amd64-py314-py315"
    packages=python3.14,python3.14-dev,python3.14-venv,python3.15,python3.15-dev,python3.15-venv,g++,ca-certificates
    interpreters="3.14 3.15"
    ;;
  arm64)
    suite=trixie arch=arm64 system="$cache/trixie-arm64-py313"
    packages=python3.13,python3.13-dev,python3.13-venv,ca-certificates
    interpreters="3.13"
    ;;
  *) usage ;;
esac

# qemu-user runs the arm64 root's programs, registered with binfmt_misc's F flag so that the
# emulator is found from inside a chroot.
enable_emulation() {
  apt_install qemu-user-static binfmt-support
  [ -f /proc/sys/fs/binfmt_misc/register ] || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  [ -f /proc/sys/fs/binfmt_misc/qemu-aarch64 ] || update-binfmts --enable qemu-aarch64
  grep -q '^flags: .*F' /proc/sys/fs/binfmt_misc/qemu-aarch64 ||
    die "binfmt_misc runs arm64 programs without the F flag; a chroot cannot find the emulator"
}

prepare() {
  [ "$arch" = amd64 ] || enable_emulation
  [ -f "$system/.vellora-ready" ] && return 0
  [ "$(id -u)" -eq 0 ] || die "building a Debian root needs root"
  mkdir -p "$cache"
  exec 9>"$system.lock"
  flock 9
  [ -f "$system/.vellora-ready" ] && return 0
  apt_install debootstrap
  local building="$system.building"
  rm -rf "$building"
  log "debootstrap $suite ($arch) into $building"
  debootstrap --arch="$arch" --variant=minbase --include="$packages" "$suite" "$building" "$mirror" \
    >"$system.log" 2>&1 || { tail -30 "$system.log" >&2; die "debootstrap failed (log: $system.log)"; }
  # The archive's sid Release file has outlived its Valid-Until date; apt there would refuse it.
  echo 'Acquire::Check-Valid-Until "false";' >"$building/etc/apt/apt.conf.d/99vellora-no-valid-until"
  trust_host_certificates "$building"
  local version
  for version in $interpreters; do
    in_root "$building" /usr/bin:/bin "python$version -c 'import ssl, venv, sysconfig
assert sysconfig.get_config_var(\"INCLUDEPY\")'" || die "python$version in the $suite root is incomplete"
  done
  touch "$building/.vellora-ready"
  rm -rf "$system"
  mv "$building" "$system"
}

case "${2:-}" in
  prepare) [ $# -eq 2 ] || usage; prepare ;;
  path) [ $# -eq 2 ] || usage; prepare; printf '%s\n' "$system" ;;
  run) [ $# -eq 3 ] || usage; prepare; in_root "$system" /usr/bin:/bin "$3" "$root:/repo" ;;
  *) usage ;;
esac
