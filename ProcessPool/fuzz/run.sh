#!/bin/sh
# Builds the key/value codec's fuzz target and runs it for the given
# number of seconds (default 60): fuzz/run.sh SECONDS [libFuzzer options]
# KV_FUZZ_PATH=portable builds the codec's portable path instead of the
# default one (SSE2 on x86-64); each path has its own binary.
set -eu
cd "$(dirname "$0")"
secs=${1:-60}
[ $# -gt 0 ] && shift
case ${KV_FUZZ_PATH:-default} in
    default)  bin=kv_fuzz;          def= ;;
    portable) bin=kv_fuzz_portable; def=-DKV_PORTABLE ;;
    *) echo "KV_FUZZ_PATH: default or portable" >&2; exit 2 ;;
esac
${CXX_FUZZ:-clang++} -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined \
    -fno-sanitize-recover=undefined $def -I../src -o $bin kv_fuzz.cpp ../src/kvcodec.cpp
mkdir -p corpus
exec ./$bin -max_total_time="$secs" -max_len=4096 -print_final_stats=1 "$@" corpus seeds
