#!/bin/sh
# enter_root.sh ROOT CHECKOUT INSIDE COMMAND...: runs COMMAND chrooted into ROOT, with /proc, /dev
# and the checkout (at INSIDE) mounted there. The runner starts it in a mount namespace of its own
# (unshare --mount), so every mount goes with the command, however it ends.
set -e
root=$1 checkout=$2 inside=$3
shift 3
mount --make-rprivate /
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
mkdir -p "$root$inside"
mount --bind "$checkout" "$root$inside"
exec chroot "$root" "$@"
