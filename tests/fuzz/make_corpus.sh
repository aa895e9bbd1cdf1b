#!/usr/bin/env bash
# Rebuilds the binary seed corpus of the fuzzers from the readable seeds:
# tests/fuzz/seeds/*.txtpb (protobuf text form of Leaderboard.Request) become
# request_fuzzer inputs and, framed, tcp_frame_fuzzer streams. The HTTP and
# manifest seeds are plain files kept in corpus/ directly. Needs protoc.
#   tests/fuzz/make_corpus.sh
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
seeds=$here/seeds
corpus=$here/corpus
mkdir -p "$corpus/request_fuzzer" "$corpus/tcp_frame_fuzzer"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

encode() {  # encode TEXT_FILE > binary Leaderboard.Request
  protoc --proto_path="$root/proto" --encode=Leaderboard.Request \
    leaderboard.proto < "$1"
}
# The 4-byte big-endian length header of a body of $1 bytes.
header() { printf "\\x$(printf %02x $(($1 >> 24 & 255)))\\x$(printf %02x $(($1 >> 16 & 255)))\\x$(printf %02x $(($1 >> 8 & 255)))\\x$(printf %02x $(($1 & 255)))"; }

# A status query whose date time is 5,000 characters long.
{
  printf 'request_uuid: "0123456789abcdef" type: 10 '
  printf 'reset_schedule_status_query { leaderboard_id: "stage1" period: 0 '
  printf 'schedule_date_time: "%s" }\n' "$(head -c 5000 /dev/zero | tr '\0' 7)"
} > "$tmp/status_long_date.txtpb"

stream=$tmp/stream
: > "$stream"
for text in "$seeds"/*.txtpb "$tmp"/*.txtpb; do
  name=$(basename "$text" .txtpb)
  encode "$text" > "$tmp/$name.bin"
  # First byte: bit 0 authenticated, bit 1 stored procedures.
  { printf '\x03'; cat "$tmp/$name.bin"; } > "$corpus/request_fuzzer/$name"
  size=$(stat -c %s "$tmp/$name.bin")
  { header "$size"; cat "$tmp/$name.bin"; } >> "$stream"
done
{ printf '\x00'; cat "$tmp/query_top.bin"; } > "$corpus/request_fuzzer/query_top_unauthenticated"
{ printf '\x01'; cat "$tmp/submit.bin"; } > "$corpus/request_fuzzer/submit_unknown_id"
{ printf '\x02'; cat "$tmp/auth.bin"; } > "$corpus/request_fuzzer/auth_first"

# tcp_frame_fuzzer: the stream first, then the settings it reads from the end
# (last byte first): the size limit (7: 1 MiB), the in-flight limit, the
# number of answer modes and the modes.
settings() { printf "\\x$(printf %02x "$4")\\x$(printf %02x "$3")\\x$(printf %02x "$2")\\x$(printf %02x "$1")"; }
t=$corpus/tcp_frame_fuzzer
{ cat "$stream"; settings 7 2 1 3; } > "$t/every_request_type"
{ cat "$stream"; settings 7 1 0 2; } > "$t/every_request_paused"
{ head -c 37 "$stream"; settings 7 0 0 0; } > "$t/truncated_frame"
{ printf '\x00\x00\x00\x00\x00\x00\x00\x00'; settings 0 0 0 0; } > "$t/empty_frames_zero_limit"
{ printf '\x00\x00\x10\x00ab'; settings 5 4 0 0; } > "$t/header_promises_more"
{ printf '\x00\x00\x00\x02ok\xff\xff\xff\xffrest'; settings 6 2 0 1; } > "$t/oversized_after_frame"
{ printf '\x00\x00'; settings 7 0 0 0; } > "$t/half_header"
{ header 4097; head -c 4097 /dev/zero; settings 5 0 0 0; } > "$t/one_over_limit"
# Pipelined requests answered from another thread at an in-flight cap of
# one: an answer that makes room as reading stops must not strand the rest.
{ head -c 12000 /dev/zero; settings 7 1 0 2; } > "$t/pipelined_at_in_flight_cap"
echo "corpus written under $corpus"
