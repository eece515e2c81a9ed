#!/bin/sh
# Tries stillray as a new user would on a fresh minimal Debian of the release given (trixie, say):
# makes one with debootstrap from Debian's archive, clones this repository's committed HEAD into
# it and runs there only what the README asks of a new user: `apt-get install make`, `make
# program` (the build of `make run`, which has no display to show on here) and `make test`.
# Needs root (through sudo otherwise), the network and about 3 GB under /var/tmp; exits non-zero
# when any step fails.
set -eu

release=${1:-}
case $release in
    '' | *[!a-z0-9-]*)
        echo "usage: $0 RELEASE (a Debian release that debootstrap knows, such as trixie)" >&2
        exit 2
        ;;
esac
[ "$(id -u)" -eq 0 ] || exec sudo "$0" "$@"
repository=$(git -C "$(dirname "$0")" rev-parse --show-toplevel)
root=/var/tmp/stillray-on-debian/$release

# The build and the tests run in mount, PID and IPC namespaces of their own: the kernel drops
# every mount made there and ends every process left there when the run ends, however it ends.
# So nothing should be mounted under the tree from here; were anything, it is unmounted before
# the tree goes, and the tree is removed only when nothing is.
mounts_under_root() {
    awk -v root="$root" '$2 == root || index($2, root "/") == 1 { print $2 }' /proc/self/mounts | sort -r
}
remove_tree() {
    for mount_point in $(mounts_under_root); do
        umount "$mount_point" || umount --lazy "$mount_point"
    done
    if [ -n "$(mounts_under_root)" ]; then
        echo "$0: $root still has mounts; left in place" >&2
        return 1
    fi
    rm -rf --one-file-system "$root"
}
# One run at a time, which holds the lock of the trees' directory: a second run of a release
# would remove the first one's tree. The run's processes inherit the lock, so that it is held as
# long as any of them lives.
mkdir -p "${root%/*}"
exec 9< "${root%/*}"
if ! flock --nonblock 9; then
    echo "$0: another run is going on in ${root%/*}" >&2
    exit 1
fi
trap remove_tree EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP
remove_tree

if ! command -v debootstrap > /dev/null; then
    apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q debootstrap
fi
debootstrap --variant=minbase "$release" "$root"

clone=$root/root/stillray
git clone -q --no-checkout "$repository" "$clone"
git -C "$clone" fetch -q origin HEAD
git -C "$clone" checkout -q --detach FETCH_HEAD
echo "Testing $(git -C "$clone" log -1 --format='%h %s') on Debian $release (uncommitted changes are not in it)"

# In the namespaces: the new system's root made a mount point, as on a machine, so that the tests
# can make mount namespaces of their own there; the kernel's file systems that building and
# testing use (processes, devices, pseudo-terminals, shared memory) and a device directory of its
# own; then the README's commands in the new system with a clean environment.
in_namespaces='
root=$1
mount --bind "$root" "$root"
mount -t proc -o nosuid,nodev,noexec proc "$root/proc"
mount -t sysfs -o ro,nosuid,nodev,noexec sysfs "$root/sys"
mount -t tmpfs -o nosuid,mode=0755 dev "$root/dev"
mknod -m 666 "$root/dev/null" c 1 3
mknod -m 666 "$root/dev/zero" c 1 5
mknod -m 666 "$root/dev/full" c 1 7
mknod -m 666 "$root/dev/random" c 1 8
mknod -m 666 "$root/dev/urandom" c 1 9
mknod -m 666 "$root/dev/tty" c 5 0
ln -s /proc/self/fd "$root/dev/fd"
mkdir "$root/dev/pts" "$root/dev/shm"
mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts "$root/dev/pts"
ln -s pts/ptmx "$root/dev/ptmx"
mount -t tmpfs -o nosuid,nodev,mode=1777 shm "$root/dev/shm"
exec chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive /bin/sh -eux -c "$2"
'
readme_commands='
cd /root/stillray
apt-get update
apt-get install -y make
make program
make test
wc -c build/stillray build/stillray-4k
'
unshare --mount --pid --ipc --fork --kill-child --propagation private sh -eu -c "$in_namespaces" sh "$root" \
    "$readme_commands"
echo "Debian $release: make program and make test passed"
