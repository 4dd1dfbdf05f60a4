#!/usr/bin/env bash
# Run a command inside the cached Debian unstable root (see sid-root.sh), with
# the repo checkout bind-mounted at /src and the working directory set there.
#
#   .ci/in-sid.sh python3 -m pytest -q tests
#   .ci/in-sid.sh sh -c 'python3.14-dbg -m venv /tmp/v && ...'
#
# Run from anywhere inside the checkout; the git top level (or $PWD outside a
# git tree) is what appears at /src. The exit status is the command's.
#
# Environment:
#   VORN_SID_ROOT      root location (default /var/cache/vorn/sid-root)
#   VORN_SID_SRC       host directory to expose at /src (default: repo top)
#   VORN_SID_PERSIST_TMP=1  keep the root's own /tmp instead of a fresh tmpfs
#   VORN_SID_PASSENV   extra variable names to pass through, space separated
#
# All mounts live in a private mount namespace, so they disappear with the
# command even if this script is killed outright; the EXIT trap unmounts them
# explicitly as well so nothing can be left pointing into the cache directory.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=${VORN_SID_ROOT:-/var/cache/vorn/sid-root}
root=${root%/}

log() { printf '[in-sid] %s\n' "$*" >&2; }
die() { log "error: $*"; exit 125; }

(($#)) || die "usage: $0 <command> [args...]"
[[ $(id -u) -eq 0 ]] || die "must run as root (chroot, mounts)"

if [[ -z ${VORN_SID_IN_NS:-} ]]; then
    # sid-root.sh sets VORN_SID_NO_ENSURE while it builds, and then holds the
    # exclusive lock itself; taking the shared one here would deadlock.
    if [[ -z ${VORN_SID_NO_ENSURE:-} ]]; then
        "$here/sid-root.sh"
        # Held for the whole run so a concurrent rebuild cannot swap the root
        # out from under a running command.
        exec 9>>"$root.lock"
        flock -s 9
    fi
    if [[ -z ${VORN_SID_NO_SRC:-} && -z ${VORN_SID_SRC:-} ]]; then
        VORN_SID_SRC=$(git rev-parse --show-toplevel 2>/dev/null || pwd)
    fi
    export VORN_SID_SRC
    exec env VORN_SID_IN_NS=1 unshare --mount --propagation private -- \
        bash "$here/$(basename "${BASH_SOURCE[0]}")" "$@"
fi

[[ -d $root/usr/bin ]] || die "no root at $root"

mounted=()
cleanup() {
    local rc=$? i
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        umount -R "${mounted[i]}" 2>/dev/null || umount -R -l "${mounted[i]}" 2>/dev/null ||
            log "warning: could not unmount ${mounted[i]}"
    done
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

mnt() { # mnt <target> <mount args...>
    local target=$1
    shift
    mount "$@" "$target"
    mounted+=("$target")
}

mnt "$root/proc" -t proc proc
mnt "$root/sys" -t sysfs -o ro sysfs
# Binding /dev keeps /dev/shm (multiprocessing) and /dev/pts working; rslave
# stops any unmount inside from reaching back to the host's /dev.
mnt "$root/dev" --rbind /dev
mount --make-rslave "$root/dev"
extra_env=()
if [[ ${VORN_SID_PERSIST_TMP:-0} != 1 ]]; then
    # A fresh /tmp per run keeps the cached root free of build leftovers; pip
    # and friends cache there too rather than under /root in the cached root.
    mnt "$root/tmp" -t tmpfs -o mode=1777 tmpfs
    extra_env+=(XDG_CACHE_HOME=/tmp/.cache)
fi
if [[ -n ${VORN_SID_SRC:-} ]]; then
    [[ -d $VORN_SID_SRC ]] || die "VORN_SID_SRC=$VORN_SID_SRC is not a directory"
    mkdir -p "$root/src"
    mnt "$root/src" --bind "$VORN_SID_SRC"
    workdir=/src
else
    workdir=/
fi

# apt inside needs name resolution; the host's file is the source of truth.
cp -L --remove-destination /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true

# HTTPS from this machine may go through a proxy whose CA only the host trusts
# (added under /usr/local/share/ca-certificates). Lay the host bundle over the
# root's for the run so pip can reach the package index, without baking one
# machine's trust anchors into the cached root.
host_bundle=/etc/ssl/certs/ca-certificates.crt
if [[ -f $host_bundle && -f $root$host_bundle ]]; then
    mnt "$root$host_bundle" --bind -o ro "$host_bundle"
fi

passenv=(
    HOME=/root
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
    LANG=C.UTF-8
    LC_ALL=C.UTF-8
    TERM="${TERM:-dumb}"
    "${extra_env[@]}"
)
for v in CI DEBIAN_FRONTEND PIP_INDEX_URL PIP_DEFAULT_TIMEOUT PIP_NO_CACHE_DIR ${VORN_SID_PASSENV:-}; do
    [[ -n ${!v+x} ]] && passenv+=("$v=${!v}")
done

rc=0
chroot "$root" /usr/bin/env -i "${passenv[@]}" \
    /bin/sh -c 'cd "$1" && shift && exec "$@"' sh "$workdir" "$@" || rc=$?
exit "$rc"
