#!/bin/sh
# The sample clip of make demo and of the README's examples, into the folder given:
# sample.mp4, a few seconds of a moving test pattern with B-frames, and sample.h264, the
# same stream without a container. tests/test_readme.py makes it with this script too, so
# that the values the README shows are those of this clip.
set -eu
folder=${1:?usage: make-sample.sh FOLDER}
mkdir -p "$folder"
ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc2=size=640x360:rate=25 -t 4 \
	-c:v libx264 -preset fast -bf 3 -g 50 -pix_fmt yuv420p "$folder/sample.mp4"
ffmpeg -nostdin -loglevel error -y -i "$folder/sample.mp4" -map 0:v:0 -c:v copy -f h264 "$folder/sample.h264"
