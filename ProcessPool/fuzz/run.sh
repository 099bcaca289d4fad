#!/bin/sh
# Builds the key/value codec's fuzz target and runs it for the given
# number of seconds (default 60): fuzz/run.sh SECONDS [libFuzzer options]
set -eu
cd "$(dirname "$0")"
secs=${1:-60}
[ $# -gt 0 ] && shift
${CXX_FUZZ:-clang++} -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined \
    -fno-sanitize-recover=undefined -I../src -o kv_fuzz kv_fuzz.cpp ../src/kvcodec.cpp
mkdir -p corpus
exec ./kv_fuzz -max_total_time="$secs" -max_len=4096 -print_final_stats=1 "$@" corpus seeds
