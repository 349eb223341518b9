#!/usr/bin/env bash
# Fetches FFmpeg's release tarball for one version through Debian's source packages and
# unpacks it: scripts/fetch-ffmpeg-source.sh VERSION DESTINATION
# or prints the newest upstream version those packages offer: scripts/fetch-ffmpeg-source.sh --newest
#
# apt runs with a configuration of the project's own (its own sources list, state and cache
# under build/apt), so the machine's apt setup is left as it is. apt checks every file against
# the checksums of Debian's signed Sources index before it keeps it. The upstream tarball (the
# .orig part of the source package) is unpacked as it is, without Debian's patches.
set -euo pipefail
cd "$(dirname "$0")/.."

usage="usage: $0 VERSION DESTINATION | --newest"
version=${1:?$usage}
if [[ "$version" != --newest ]]; then
    destination=${2:?$usage}
    if [[ -f "$destination/configure" ]]; then
        exit 0
    fi
fi

apt_root=$PWD/build/apt
downloads=$apt_root/downloads/$version
mkdir -p "$apt_root/lists/partial" "$apt_root/cache/archives/partial"

# The Debian mirror is the one this machine's own apt sources use (read, never changed), or
# FFMPEG_DEBIAN_MIRROR. The suites hold: 5.1 (bookworm), 7.1 (trixie), 8.1 (sid), 9.0
# (experimental).
mirror=${FFMPEG_DEBIAN_MIRROR:-$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list \
    /etc/apt/sources.list.d/*.sources 2>/dev/null \
    | grep -E '^[[:space:]]*(deb|URIs:)' | grep -oE '[a-z]+://[^[:space:]]*/debian/?([[:space:]]|$)' \
    | head -n 1 | tr -d '[:space:]' || true)}
if [[ -z "$mirror" ]]; then
    echo "No Debian mirror found in /etc/apt; name one in FFMPEG_DEBIAN_MIRROR" >&2
    exit 1
fi
sources_list=$apt_root/sources.list
for suite in bookworm trixie sid experimental; do
    echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $suite main"
done >"$sources_list"

apt_options=(
    -o "Dir::Etc::SourceList=$sources_list"
    -o "Dir::Etc::SourceParts=/dev/null"
    -o "Dir::State=$apt_root"
    -o "Dir::State::Lists=$apt_root/lists"
    -o "Dir::State::status=/dev/null"
    -o "Dir::Cache=$apt_root/cache"
    -o "APT::Sandbox::User=$(id -un)"
)

# The index is fetched once a day at most: a second build reuses it.
stamp=$apt_root/lists/.updated
if [[ -z $(find "$stamp" -mmin -1440 2>/dev/null) ]]; then
    apt-get "${apt_options[@]}" -qq update
    touch "$stamp"
fi

# Debian's source versions carry an epoch and a Debian revision around the upstream version:
# each line is "upstream debian".
offered=$(apt-cache "${apt_options[@]}" showsrc ffmpeg \
    | awk '/^Version:/ { u = $2; sub(/^[0-9]+:/, "", u); sub(/-[^-]*$/, "", u); print u, $2 }' | sort -V -u)
if [[ "$version" == --newest ]]; then
    tail -n 1 <<<"$offered" | cut -d' ' -f1
    exit 0
fi
debian_version=$(awk -v want="$version" '$1 == want { print $2 }' <<<"$offered" | tail -n 1)
if [[ -z "$debian_version" ]]; then
    echo "FFmpeg $version is in none of Debian's source indexes; these are:" >&2
    cut -d' ' -f1 <<<"$offered" | uniq | sed 's/^/  /' >&2
    exit 1
fi

mkdir -p "$downloads"
tarball=$downloads/ffmpeg_$version.orig.tar.xz
expected=$(apt-cache "${apt_options[@]}" showsrc ffmpeg \
    | awk -v want="$debian_version" -v file="${tarball##*/}" '
        /^Version:/ { version = $2 }
        /^[^ \t]/ { in_sums = ($1 == "Checksums-Sha256:") }
        in_sums && version == want && $3 == file && !found { print $1; found = 1 }')

# Only the upstream tarball is needed, and some mirrors keep it without the rest of the source
# package, so apt's complaint about the missing .dsc or Debian tarball is not fatal: the
# tarball's checksum is checked once more against the (signature-checked) index instead.
if [[ ! -f "$tarball" ]] || [[ $(sha256sum "$tarball" | cut -d' ' -f1) != "$expected" ]]; then
    rm -f "$tarball"
    (cd "$downloads" && apt-get "${apt_options[@]}" -qq source --download-only --tar-only \
        "ffmpeg=$debian_version") || true
fi
actual=$(sha256sum "$tarball" 2>/dev/null | cut -d' ' -f1 || true)
if [[ -z "$expected" ]] || [[ "$actual" != "$expected" ]]; then
    echo "Could not fetch ${tarball##*/} with the SHA-256 of Debian's index ($expected)" >&2
    exit 1
fi

unpacked=$(mktemp -d "$apt_root/unpack.XXXXXX")
tar -xf "$tarball" -C "$unpacked"
mkdir -p "$(dirname "$destination")"
rm -rf "$destination"
mv "$unpacked"/* "$destination"
rmdir "$unpacked"
printf '%s\n' "${tarball##*/}, SHA-256 $expected, the upstream tarball of Debian's source package ffmpeg $debian_version" \
    >"$destination/.vexmira-origin"
echo "FFmpeg $version unpacked into $destination (Debian source $debian_version)"
