#!/usr/bin/env bash
# Regenerates the playlists under tests/fixtures/playlists/ with ffmpeg from a synthetic source:
# a three-variant MPEG-TS stream and an fMP4 stream whose variants share an audio group. Only the
# playlists are kept; the media segments are thrown away.
set -euo pipefail
out="$(cd "$(dirname "$0")/.." && pwd)/fixtures/playlists"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/ts" "$work/fmp4"
ffmpeg -hide_banner -loglevel error -f lavfi -i testsrc=size=640x360:rate=25:duration=4 \
  -filter_complex '[0:v]split=3[a][b][c];[b]scale=480:270[b2];[c]scale=320:180[c2]' \
  -map '[a]' -map '[b2]' -map '[c2]' -c:v libx264 -preset ultrafast -g 25 \
  -b:v:0 800k -b:v:1 400k -b:v:2 200k \
  -f hls -hls_time 1 -hls_playlist_type vod -hls_segment_filename "$work/ts/v%v/seg%d.ts" \
  -master_pl_name master.m3u8 -var_stream_map 'v:0 v:1 v:2' "$work/ts/v%v/index.m3u8"

ffmpeg -hide_banner -loglevel error -f lavfi -i testsrc=size=640x360:rate=25:duration=4 \
  -f lavfi -i sine=frequency=440:duration=4 \
  -filter_complex '[0:v]split=2[a][b];[b]scale=320:180[b2]' \
  -map 1:a -map '[a]' -map '[b2]' -c:a aac -b:a 64k -c:v libx264 -preset ultrafast -g 25 \
  -b:v:0 600k -b:v:1 200k \
  -f hls -hls_time 1 -hls_playlist_type vod -hls_segment_type fmp4 \
  -hls_segment_filename "$work/fmp4/s%v/seg%d.m4s" -hls_fmp4_init_filename init.mp4 \
  -master_pl_name master.m3u8 \
  -var_stream_map 'a:0,agroup:aud,name:audio v:0,agroup:aud v:1,agroup:aud' \
  "$work/fmp4/s%v/index.m3u8"

rm -rf "$out/ts" "$out/fmp4"
mkdir -p "$out"
for kind in ts fmp4; do
  (cd "$work/$kind" && find . -name '*.m3u8' | while read -r f; do
    mkdir -p "$out/$kind/$(dirname "$f")"
    cp "$f" "$out/$kind/$f"
  done)
done
find "$out" -name '*.m3u8' | sort
