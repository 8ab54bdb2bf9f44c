# Sourced by the toolchain scripts: installs Debian packages and unpacks sid packages into
# private folders. Every apt call holds one lock, so scripts started side by side (make -j)
# neither fail on apt's own locks nor read package lists while another script rewrites them.
APT_LOCK=/var/lock/kesra-apt.lock

log() { echo "[toolchain] $*" >&2; }

locked_apt() { flock "$APT_LOCK" "$@"; }

apt_updated=0
apt_update() {
    [ $apt_updated -eq 1 ] && return 0
    locked_apt apt-get update -qq >&2
    apt_updated=1
}

apt_install() {
    local missing=()
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    apt_update
    log "installing ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive locked_apt apt-get install -y -qq "${missing[@]}" >&2
}

mirror_uri() {
    grep -rhoE 'https?://[^ ]+/debian/?( |$)' /etc/apt/sources.list /etc/apt/sources.list.d/ 2>/dev/null \
        | grep -v security | head -n 1 | tr -d ' '
}

# A binary entry for sid pinned at priority 1: packages are downloaded from it and
# unpacked into private folders, never installed or upgraded from it.
sid_updated=0
sid_entry() {
    local sid_list=/etc/apt/sources.list.d/kesra-sid.sources
    if [ ! -f "$sid_list" ]; then
        printf 'Types: deb\nURIs: %s\nSuites: sid\nComponents: main\nSigned-By: %s\n' \
            "$(mirror_uri)" /usr/share/keyrings/debian-archive-keyring.gpg > "$sid_list"
        printf 'Package: *\nPin: release n=sid\nPin-Priority: 1\n' > /etc/apt/preferences.d/kesra-sid-pin
    fi
    if [ $sid_updated -eq 0 ]; then apt_updated=0; apt_update; sid_updated=1; fi
}

# unpack_from_sid DIR PACKAGE...: downloads the sid builds of the packages and unpacks
# them into DIR.
unpack_from_sid() {
    local dir=$1 work deb
    shift
    sid_entry
    work=$(mktemp -d)
    chmod 777 "$work"  # apt downloads as its own user
    local pkgs=()
    for pkg in "$@"; do pkgs+=("$pkg/sid"); done
    if ! (cd "$work" && locked_apt apt-get download -qq "${pkgs[@]}" >&2); then
        rm -rf "$work"
        return 1
    fi
    mkdir -p "$dir"
    for deb in "$work"/*.deb; do dpkg-deb -x "$deb" "$dir"; done
    rm -rf "$work"
}
