#!/usr/bin/env bash
# Builds the module and runs its benchmarks (see ProcessPool/bench/bench.pl).
set -euo pipefail
cd "$(dirname "$0")/ProcessPool"
[ -f Makefile ] || perl Makefile.PL >/dev/null
make >/dev/null
exec perl -Mblib bench/bench.pl "$@"
