#!/usr/bin/env bash
# Fuzzes the blob reader for a given time and fails on any crash, leak,
# undefined behaviour, timeout or oversized allocation.
#
#   fuzz/run.sh BUILD_DIR SECONDS
#
# BUILD_DIR holds blob_reader_fuzz (configure with clang, -DTAVRINE_FUZZ=ON
# and -DTAVRINE_SANITIZE=address,undefined; `make fuzz` does all of it).
# The seed corpus is copied into BUILD_DIR/fuzz-work, so the committed seeds
# stay untouched; crashing inputs land in BUILD_DIR/fuzz-work/artifacts.
set -euo pipefail

build=${1:?usage: fuzz/run.sh BUILD_DIR SECONDS}
seconds=${2:?usage: fuzz/run.sh BUILD_DIR SECONDS}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
bin="$build/blob_reader_fuzz"
if [ ! -x "$bin" ]; then
  echo "fuzz/run.sh: $bin not found (build with clang and -DTAVRINE_FUZZ=ON)" >&2
  exit 2
fi

work="$build/fuzz-work"
rm -rf "$work"
mkdir -p "$work/corpus" "$work/artifacts"
cp "$here"/corpus/* "$work/corpus/"

# UBSan only reports by default; make every finding fatal.
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}

# Inputs up to 64 KiB; a single allocation above 64 MiB counts as a failure,
# since the reader must never reserve more than its input could hold.
"$bin" \
  -max_total_time="$seconds" \
  -max_len=65536 \
  -malloc_limit_mb=64 \
  -rss_limit_mb=2048 \
  -timeout=10 \
  -print_final_stats=1 \
  -dict="$here/blob.dict" \
  -artifact_prefix="$work/artifacts/" \
  "$work/corpus"
echo "fuzz/run.sh: no failure in ${seconds}s"
