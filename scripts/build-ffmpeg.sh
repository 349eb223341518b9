#!/usr/bin/env bash
# Builds a minimal, LGPL-only FFmpeg from its release tarball into a private prefix, once per
# version and configuration: scripts/build-ffmpeg.sh VERSION
#
# The prefix is build/ffmpeg/VERSION/prefix; its lib/pkgconfig is what the module is built
# against. A second run with the same version and options does nothing.
set -euo pipefail
cd "$(dirname "$0")/.."

version=${1:?usage: $0 VERSION}
root=$PWD/build/ffmpeg/$version
prefix=$root/prefix

# Only what the module reads: the H.264 decoder and parser, and the demuxers of the containers
# it opens, over plain files. Besides, the decoders (and parsers, which the demuxers need to
# cut their streams into pictures) of the other codecs whose QP export the tests check:
# MPEG-1, MPEG-2, MPEG-4 Part 2, H.263, Sorenson H.263 (FLV), Microsoft MPEG-4 v3 and WMV 8;
# the raw MPEG video demuxer, by which the MPEG-PS demuxer recognises MPEG-1 and MPEG-2
# video; and HEVC, VP9 and FFV1, codecs without a QP export the module reads, so that the
# wheel shows (and its tests check) what the module does with one. The H.261 decoder was
# there for the MPEG video core that FFmpeg compiles the H.264 decoder's motion-vector export
# into; the MPEG decoders bring it as well. Nothing external is linked in
# (--disable-autodetect also leaves out zlib, used only by rare compressed MP4 headers and
# Matroska tracks), and neither --enable-gpl nor --enable-nonfree is given: the result is
# LGPL 2.1 or later. The runtime path makes each library find its siblings in the prefix
# (auditwheel replaces it in the wheel).
options=(
    --prefix="$prefix"
    --disable-everything --disable-autodetect --disable-network
    --disable-programs --disable-doc --disable-debug
    --disable-avdevice --disable-avfilter --disable-swscale --disable-swresample
    --enable-shared --disable-static --enable-rpath
    --enable-decoder=h264,hevc,vp9,mpeg1video,mpeg2video,mpeg4,h263,flv,msmpeg4v3,wmv2,ffv1,h261
    --enable-parser=h264,hevc,mpegvideo,mpeg4video,h263
    --enable-demuxer=mov,matroska,mpegts,mpegps,avi,flv,h264,hevc,mpegvideo
    --enable-protocol=file
)

stamp=$prefix/.vexmira-configuration
if [[ -f "$stamp" ]] && [[ "$(cat "$stamp")" == "${options[*]}" ]]; then
    exit 0
fi

scripts/fetch-ffmpeg-source.sh "$version" "$root/source"

started=$SECONDS
rm -rf "$prefix" "$root/objects"
mkdir -p "$root/objects"
cd "$root/objects"
echo "Configuring FFmpeg $version: ${options[*]}"
nice -n 10 ../source/configure "${options[@]}" >configure.log 2>&1 || { tail -n 30 configure.log >&2; exit 1; }
nice -n 10 make -j"$(nproc)" >make.log 2>&1 || { tail -n 40 make.log >&2; exit 1; }
make install >install.log 2>&1
# What a wheel that carries these libraries must say about them.
mkdir -p "$prefix/notices"
cp ../source/COPYING.LGPLv2.1 "$prefix/notices/"
cat >"$prefix/notices/FFMPEG-SOURCE.txt" <<NOTICE
FFmpeg $version
libavcodec, libavformat and libavutil, under the GNU Lesser General Public License 2.1 or
later (COPYING.LGPLv2.1 beside this file), built unmodified from
$(cat ../source/.vexmira-origin)
configured with:
${options[*]:1}
NOTICE
echo "${options[*]}" >"$stamp"
echo "FFmpeg $version built into $prefix in $((SECONDS - started)) s"
