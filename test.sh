#!/usr/bin/env bash
# Builds the module and runs its whole test suite.
set -euo pipefail
cd "$(dirname "$0")/ProcessPool"
command -v g++ >/dev/null && command -v make >/dev/null || {
    apt-get update -qq && apt-get install -y -qq g++ make perl >/dev/null; }
perl Makefile.PL >/dev/null
make >/dev/null
make test
