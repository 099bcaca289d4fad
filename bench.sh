#!/usr/bin/env bash
# Builds the module and runs its benchmarks (see ProcessPool/bench/bench.pl).
set -euo pipefail
cd "$(dirname "$0")/ProcessPool"
[ -f Makefile ] || perl Makefile.PL >/dev/null
make >/dev/null
perl -Mblib bench/bench.pl "$@"
quick=; for a in "$@"; do [ "$a" = --quick ] && quick=--quick; done
# the worker service against a serial loop and MCE::Map
perl -Mblib bench/workers.pl $quick
# pmap against one perl, GNU parallel and MCE on the same maps
exec perl -Mblib bench/pmap.pl $quick
