#!/usr/bin/env bash
# Runs the module's main job, the parallel line mapper (ProcessPool/examples/pmap),
# with the arguments given; builds the module first, but only when a source
# changed since the last build.  Paths in the arguments are taken relative
# to the caller's directory: this script never changes directory.
set -euo pipefail

dist="$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")" && pwd)/ProcessPool"
# Touched after every build made here; blib/ is the build's own output,
# so "make clean" removes the stamp with it.
stamp="$dist/blib/.run-stamp"

build() {
    if [ ! -f "$dist/Makefile" ] || [ "$dist/Makefile.PL" -nt "$dist/Makefile" ]; then
        (cd "$dist" && perl Makefile.PL >/dev/null)
    fi
    make -C "$dist" >/dev/null
    touch "$stamp"
}

if [ ! -f "$stamp" ] || [ ! -f "$dist/Makefile" ] ||
   [ -n "$(find "$dist/Makefile.PL" "$dist/ProcessPool.xs" "$dist/src" "$dist/lib" \
               -newer "$stamp" -print -quit 2>/dev/null)" ]; then
    build
fi

if [ -f "$dist/examples/pmap" ]; then
    exec perl -I"$dist/blib/lib" -I"$dist/blib/arch" "$dist/examples/pmap" "$@"
fi
exec perl -I"$dist/blib/lib" -I"$dist/blib/arch" -MBrindlecove::ProcessPool \
    -e 'print "Brindlecove::ProcessPool $Brindlecove::ProcessPool::VERSION\n"'
