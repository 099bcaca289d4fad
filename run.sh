#!/usr/bin/env bash
# Builds the module and runs its main job (the parallel line mapper).
set -euo pipefail
cd "$(dirname "$0")/ProcessPool"
perl Makefile.PL >/dev/null
make >/dev/null
if [ -f examples/pmap ]; then
    exec perl -Mblib examples/pmap "$@"
fi
exec perl -Mblib -MBrindlecove::ProcessPool -e 'print "Brindlecove::ProcessPool $Brindlecove::ProcessPool::VERSION\n"'
