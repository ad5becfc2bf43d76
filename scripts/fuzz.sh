#!/usr/bin/env bash
# Builds the fuzz targets with clang's libFuzzer (AddressSanitizer and
# UndefinedBehaviorSanitizer on) and runs one of them.
#   scripts/fuzz.sh NAME SECONDS [libFuzzer options...]
# NAME: options, optvalues, profile, ini, language, split.
# The run starts from tests/fuzz/seeds/NAME and grows build-fuzz/corpus/NAME;
# a finding is written to build-fuzz/findings/NAME/ and the script fails.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ $# -lt 2 ]; then
  echo "usage: scripts/fuzz.sh NAME SECONDS [libFuzzer options...]" >&2
  exit 2
fi
name=$1 seconds=$2
shift 2
scripts/install-deps.sh clang
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DZC_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target "fuzz_$name"

corpus=build-fuzz/corpus/$name findings=build-fuzz/findings/$name
mkdir -p "$corpus" "$findings"
export ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
exec "build-fuzz/fuzz/fuzz_$name" -max_total_time="$seconds" -print_final_stats=1 \
  -artifact_prefix="$findings/" -max_len=4096 -timeout=10 -rss_limit_mb=4096 "$@" "$corpus" "tests/fuzz/seeds/$name"
