#!/usr/bin/env bash
# Make sure a Debian unstable root with CPython 3.14 (release and debug
# interpreters) and CPython 3.13 exists for the sid test lanes, building it
# if needed.
#
#   .ci/sid-root.sh            # build only when missing, incomplete or stale
#   VORN_SID_REBUILD=1 .ci/sid-root.sh   # force a fresh build
#
# Location: ${VORN_SID_ROOT:-/var/cache/vorn/sid-root}. The root is built in a
# staging directory next to it and only renamed into place after the stamp is
# written, so an interrupted build never looks usable. The stamp records the
# recipe (suite, variant, package list); any change to it triggers a rebuild.
#
# The mirror is taken from this machine's own apt configuration so the repo
# never hard-codes a package host; VORN_SID_MIRROR overrides it.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=${VORN_SID_ROOT:-/var/cache/vorn/sid-root}
root=${root%/}
suite=sid
variant=minbase

# Keep sorted: the stamp compares this list verbatim.
packages=(
    ca-certificates
    cmake
    g++
    libpython3.14-dbg
    ninja-build
    python3
    python3-dev
    python3-hypothesis
    python3-numpy
    python3-pip
    python3-pytest
    python3-scikit-build-core
    python3-venv
    python3.13-dev
    python3.13-venv
    python3.14-dbg
    python3.14-dev
)

# Bump when the way the root is assembled changes in a way the package list
# does not capture (apt/dpkg configuration, post-install steps).
recipe_version=2

stamp_name=.vorn-sid-root.stamp
info_name=.vorn-sid-root.info

log() { printf '[sid-root] %s\n' "$*" >&2; }
die() { log "error: $*"; exit 1; }

want_stamp() {
    printf 'recipe=%s\nsuite=%s\nvariant=%s\narch=%s\npackages=%s\n' \
        "$recipe_version" "$suite" "$variant" "$(dpkg --print-architecture)" \
        "${packages[*]}"
}

root_is_current() {
    [[ -f $root/$stamp_name && -x $root/usr/bin/python3 ]] || return 1
    [[ $(cat "$root/$stamp_name") == "$(want_stamp)" ]]
}

# The Debian archive URI from the host's apt sources (deb822 first, then the
# one-line format). Security and ports archives carry no sid, so skip them.
host_mirror() {
    local f uri=""
    for f in /etc/apt/sources.list.d/debian.sources /etc/apt/sources.list.d/*.sources; do
        [[ -f $f ]] || continue
        uri=$(awk '
            BEGIN { RS = ""; FS = "\n" }
            {
                uris = ""; types = ""
                for (i = 1; i <= NF; i++) {
                    line = $i
                    if (line ~ /^[ \t]*#/) continue
                    if (line ~ /^URIs:/)  { sub(/^URIs:[ \t]*/, "", line); uris = line }
                    if (line ~ /^Types:/) { types = line }
                    if (line ~ /^Enabled:[ \t]*no/) { uris = ""; break }
                }
                if (types !~ /(^|[ \t:])deb([ \t]|$)/) next
                n = split(uris, u, /[ \t]+/)
                for (j = 1; j <= n; j++)
                    if (u[j] != "" && u[j] !~ /security|ports/) { print u[j]; exit }
            }' "$f")
        [[ -n $uri ]] && break
    done
    if [[ -z $uri && -f /etc/apt/sources.list ]]; then
        uri=$(awk '
            $1 == "deb" {
                i = 2
                if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
                if ($i !~ /security|ports/) { print $i; exit }
            }' /etc/apt/sources.list)
    fi
    printf '%s\n' "${uri%/}"
}

mounts_below() {
    findmnt -rn -o TARGET | awk -v d="$1" 'index($0, d "/") == 1 || $0 == d' | sort -r
}

# Nothing should be mounted inside a root once in-sid.sh has returned (it uses
# a private mount namespace), but an older or foreign run may have left a bind
# of /dev or /proc behind. Detach those before moving or deleting anything.
unmount_below() {
    local m
    while read -r m; do
        [[ -n $m ]] || continue
        log "unmounting leftover $m"
        umount -R "$m" 2>/dev/null || umount -R -l "$m" || true
    done < <(mounts_below "$1")
    [[ -z $(mounts_below "$1") ]] || die "something is still mounted below $1"
}

# rm refuses to cross file systems as a second guard, so a mount that appeared
# in between can never be descended into.
safe_remove() {
    [[ -e $1 ]] || return 0
    unmount_below "$1"
    rm -rf --one-file-system -- "$1"
}

ensure_host_tools() {
    local missing=()
    command -v debootstrap >/dev/null || missing+=(debootstrap)
    [[ -f /usr/share/keyrings/debian-archive-keyring.gpg ]] || missing+=(debian-archive-keyring)
    command -v unshare >/dev/null || missing+=(util-linux)
    command -v flock >/dev/null || missing+=(util-linux)
    if ((${#missing[@]})); then
        log "installing host tools: ${missing[*]}"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    fi
}

# Run a command in the half-built root: no repo, no lock (we hold it already).
in_stage() { # in_stage <dir> <command...>
    local dir=$1
    shift
    env -u VORN_SID_SRC -u VORN_SID_IN_NS \
        VORN_SID_ROOT="$dir" VORN_SID_NO_ENSURE=1 VORN_SID_NO_SRC=1 \
        bash "$here/in-sid.sh" "$@"
}

build_root() {
    local stage=$1 mirror=$2 t0=$SECONDS t1

    log "debootstrap $variant $suite from $mirror into $stage"
    # A frozen mirror can serve a Release whose Valid-Until has passed;
    # debootstrap does not look at it, apt inside does (handled below).
    debootstrap --variant="$variant" \
        --keyring=/usr/share/keyrings/debian-archive-keyring.gpg \
        "$suite" "$stage" "$mirror" >"$stage.debootstrap.log" 2>&1 || {
            tail -n 40 "$stage.debootstrap.log" >&2
            [[ -f $stage/debootstrap/debootstrap.log ]] && tail -n 40 "$stage/debootstrap/debootstrap.log" >&2
            die "debootstrap failed"
        }
    rm -f "$stage.debootstrap.log"
    t1=$SECONDS
    log "debootstrap took $((t1 - t0))s"

    rm -f "$stage/etc/apt/sources.list"
    cat >"$stage/etc/apt/sources.list.d/debian.sources" <<EOF
Types: deb
URIs: $mirror
Suites: $suite
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
    cat >"$stage/etc/apt/apt.conf.d/90vorn" <<'EOF'
// The mirror may be a frozen snapshot whose Release has outlived Valid-Until.
Acquire::Check-Valid-Until "false";
Acquire::Retries "5";
Acquire::Languages "none";
APT::Install-Recommends "false";
APT::Install-Suggests "false";
Dpkg::Use-Pty "false";
EOF
    # Nothing needs to survive a power cut here; skipping fsync makes dpkg
    # several times faster on this kind of disk.
    echo force-unsafe-io >"$stage/etc/dpkg/dpkg.cfg.d/90vorn-unsafe-io"
    # No daemons should ever start inside a build root.
    printf '#!/bin/sh\nexit 101\n' >"$stage/usr/sbin/policy-rc.d"
    chmod 755 "$stage/usr/sbin/policy-rc.d"

    log "installing: ${packages[*]}"
    in_stage "$stage" sh -euc '
            export DEBIAN_FRONTEND=noninteractive
            apt-get update -q
            apt-get install -y -q "$@"
            apt-get clean
            rm -rf /var/lib/apt/lists/*
        ' sh "${packages[@]}"
    log "package install took $((SECONDS - t1))s"

    in_stage "$stage" sh -euc '
            v=$(python3 -c "import sys; print(\"%d.%d\" % sys.version_info[:2])")
            [ "$v" = 3.14 ] || { echo "python3 is $v, not 3.14" >&2; exit 1; }
            python3.14-dbg -c "import sys; sys.gettotalrefcount()"
            python3 -c "import numpy, pytest, hypothesis"
            python3.13 -c "import pytest, hypothesis"
            {
                echo "python3: $(python3 -c "import sys; print(sys.version.split()[0])")"
                echo "python3.14-dbg: $(python3.14-dbg -c "import sys; print(sys.version.split()[0])")"
                echo "python3.13: $(python3.13 -c "import sys; print(sys.version.split()[0])")"
                echo "numpy: $(python3 -c "import numpy; print(numpy.__version__)")"
                echo "numpy under dbg: $(python3.14-dbg -c "import numpy; print(numpy.__version__)" 2>/dev/null || echo no)"
                dpkg-query -W -f "\${Package} \${Version}\n" "$@"
            } >/.vorn-sid-root.info
        ' sh "${packages[@]}"

    want_stamp >"$stage/$stamp_name"
}

main() {
    [[ $(id -u) -eq 0 ]] || die "must run as root (debootstrap, chroot, mounts)"

    if [[ ${VORN_SID_REBUILD:-0} != 1 ]] && root_is_current; then
        return 0
    fi

    ensure_host_tools
    mkdir -p "$(dirname "$root")"
    exec 8>"$root.lock"
    flock -x 8

    # Another run may have finished the build while we waited for the lock.
    if [[ ${VORN_SID_REBUILD:-0} != 1 ]] && root_is_current; then
        return 0
    fi

    local mirror=${VORN_SID_MIRROR:-$(host_mirror)}
    [[ -n $mirror ]] || die "no Debian mirror found in the host apt sources; set VORN_SID_MIRROR"

    local stage=$root.stage
    safe_remove "$stage"
    local t0=$SECONDS
    build_root "$stage" "$mirror"

    safe_remove "$root.old"
    if [[ -e $root ]]; then
        unmount_below "$root"
        mv -- "$root" "$root.old"
    fi
    mv -- "$stage" "$root"
    safe_remove "$root.old"
    log "root ready at $root after $((SECONDS - t0))s"
    sed 's/^/[sid-root]   /' "$root/$info_name" >&2 || true
}

main "$@"
