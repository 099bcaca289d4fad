#!/usr/bin/env bash
# Runs the test suite t/*.t under valgrind memcheck, on the normal build.
#
#   tools/valgrind.sh                 # whole suite
#   tools/valgrind.sh t/620_bulk.t    # chosen tests only
#
# Every process is checked: forked workers stay under valgrind by nature,
# and --trace-children=yes follows the child perls that some tests exec
# (the bad-input cases run there).  Shells are not followed, nor what they
# exec: valgrind refuses "ulimit -n" in a process it runs (it keeps
# descriptors of its own at the top), so the tests that lower the limit
# through sh run their inner perl natively.  Each process writes its
# own log (--log-file=...%p); the logs are then sorted:
#   - any memcheck error (invalid access, uninitialised value, bad free,
#     overlap, bad syscall argument) left after tools/perl.supp is a
#     failure: ERROR SUMMARY counts only these (--errors-for-leak-kinds=none);
#   - a "definitely lost" block is a failure when its allocation stack
#     passes through the module; perl's own lost blocks are counted and
#     ignored.  Pools that a test drops without _free (the record and table
#     are the caller's until then) are listed by test and fail the run
#     unless VALGRIND_ALLOW_UNFREED_POOLS=1; the copies of the parent's
#     pools that a forked worker inherits and leaves when it ends through
#     Perl's exit are listed apart and never fail (tools/sort-logs.pl).
# tools/perl.supp suppresses reports inside perl's own objects only,
# never one with a frame of the module.  The stress tests are scaled down
# (environment variables below): valgrind runs perl some 30 times slower.
#
# Exit status: 0 when the suite passed and nothing counts; 1 otherwise.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root/ProcessPool"
command -v valgrind >/dev/null || { echo "valgrind.sh: valgrind not installed (apt-get install valgrind)" >&2; exit 2; }
[ -f Makefile ] || flock /tmp/pp-build.lock perl Makefile.PL >/dev/null
flock /tmp/pp-build.lock make >/dev/null || { echo "valgrind.sh: build failed" >&2; exit 1; }

logs=${VALGRIND_LOG_DIR:-/tmp/pp-valgrind-logs}
rm -rf "$logs"; mkdir -p "$logs"
tests=("$@")
[ ${#tests[@]} -gt 0 ] || tests=(t/*.t)

export PROCPOOL_CYCLES=${PROCPOOL_CYCLES:-100}
export PROCPOOL_BULK_MIB=${PROCPOOL_BULK_MIB:-4}
export PROCPOOL_FAIL_REPS=${PROCPOOL_FAIL_REPS:-20}
export PROCPOOL_THREAD_ROUNDS=${PROCPOOL_THREAD_ROUNDS:-5}
export PROCPOOL_MANY_LIMIT=${PROCPOOL_MANY_LIMIT:-700}
export PROCPOOL_VALGRIND=1
export PERL5LIB="$PWD/blib/lib:$PWD/blib/arch${PERL5LIB:+:$PERL5LIB}"

vg="valgrind -q --tool=memcheck --trace-children=yes --trace-children-skip=*/sh,*/dash,*/bash
    --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=none
    --num-callers=30 --suppressions=$root/tools/perl.supp --gen-suppressions=all"
# Each test's processes log under the test's name (vg.NAME.PID).
# Every perl started marks itself (tools/PoolLogStart.pm), so that the
# sorter tells a started perl's log from a forked worker's.
wrap=$logs/vg-exec
cat > "$wrap" <<WRAP
#!/bin/sh
name=\$(basename "\$1" .t)
mkdir -p "$logs/starts/\$name"
export PROCPOOL_LOG_STARTS="$logs/starts/\$name"
export PERL5OPT="-I$root/tools -MPoolLogStart\${PERL5OPT:+ \$PERL5OPT}"
exec $(echo $vg) --log-file="$logs/vg.\$(basename "\$1" .t).%p" perl "\$@"
WRAP
chmod +x "$wrap"
start=$(date +%s)
prove --timer --exec "$wrap" "${tests[@]}"
suite_rc=$?
secs=$(( $(date +%s) - start ))

perl "$root/tools/sort-logs.pl" --tool valgrind --logs "$logs" --starts "$logs/starts"
report_rc=$?
echo "valgrind.sh: suite exit $suite_rc in ${secs}s"
[ $suite_rc -eq 0 ] && [ $report_rc -eq 0 ]
