#!/bin/sh
# Regenerates the H.263 clips that the device simulator streams, and checks them.
#
# One clip per resolution code the driver can ask for (1 QCIF, 2 CIF, 3 2CIF, 4 4CIF):
#   qcif.263  176x144  H.263 baseline, source format QCIF
#   cif.263   352x288  H.263 baseline, source format CIF
#   2cif.263  704x288  H.263+ (PLUSPTYPE, custom picture format CPFMT; its pixel aspect
#                      ratio 6:11 is not one of the table values, so the header also
#                      carries an extended PAR)
#   4cif.263  704x576  H.263 baseline, source format 4CIF
# Each is a raw H.263 elementary stream: 50 pictures (2 s at 25 fps) of a synthetic moving
# picture, an intra picture every 25 pictures, and a rate cap so that no picture is much
# larger than the target rate allows (ffmpeg's rate control overshoots badly on the first
# predicted pictures without -maxrate/-bufsize).
#
# How the simulator uses them: it loads the clip that matches the applied resolution and
# splits it into pictures at picture start codes. A picture start code is byte aligned and
# 22 bits long, 0000 0000 0000 0000 1000 00, so a picture begins at every byte offset i with
# data[i] == 0x00, data[i+1] == 0x00 and (data[i+2] & 0xFC) == 0x80 (0x80..0x83; group start
# codes carry a non-zero group number there and end-of-sequence is 0xFC). Each picture is
# one frame: it is packetised as RTP with the RFC 2190 payload header (the last packet of a
# picture carries the marker bit), paced at the applied frame rate, and the clip is looped.
# The first picture of every clip is intra, so a receiver can start at the loop point.
#
# Usage: tools/devicesim/clips/make_clips.sh   (needs ffmpeg and ffprobe, Debian's ffmpeg)
# The output is deterministic for a given ffmpeg version (single thread, bitexact flags).
set -eu

cd "$(dirname "$0")"

FRAMES=50
FPS=25
GOP=25

# make_clip NAME WIDTH HEIGHT ENCODER RATE [extra encoder arguments...]
make_clip() {
  name=$1 width=$2 height=$3 encoder=$4 rate=$5
  shift 5
  ffmpeg -hide_banner -loglevel error -y \
    -f lavfi -i "testsrc2=size=${width}x${height}:rate=${FPS}" \
    -frames:v "$FRAMES" -an -threads 1 \
    -fflags +bitexact -flags:v +bitexact -map_metadata -1 \
    -c:v "$encoder" -g "$GOP" -b:v "$rate" -maxrate "$rate" -bufsize "$rate" \
    "$@" -f h263 "$name.tmp"
  mv "$name.tmp" "$name"
}

# check_clip NAME CODEC WIDTH HEIGHT
check_clip() {
  name=$1 codec=$2 width=$3 height=$4
  got=$(ffprobe -v error -count_frames -select_streams v:0 \
    -show_entries stream=codec_name,width,height,nb_read_frames -of csv=p=0 "$name")
  want="$codec,$width,$height,$FRAMES"
  if [ "$got" != "$want" ]; then
    echo "$name: ffprobe says '$got', expected '$want'" >&2
    exit 1
  fi
  echo "$name: $got, $(wc -c < "$name") bytes"
}

make_clip qcif.263 176 144 h263 96k
make_clip cif.263 352 288 h263 384k
make_clip 4cif.263 704 576 h263 1200k
make_clip 2cif.263 704 288 h263p 768k -vf setsar=6/11

check_clip qcif.263 h263 176 144
check_clip cif.263 h263 352 288
check_clip 4cif.263 h263 704 576
check_clip 2cif.263 h263 704 288

total=$(cat qcif.263 cif.263 4cif.263 2cif.263 | wc -c)
if [ "$total" -ge 2000000 ]; then
  echo "clips take $total bytes, more than the 2 MB budget" >&2
  exit 1
fi
echo "total: $total bytes"
