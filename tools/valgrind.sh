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
#     unless VALGRIND_ALLOW_UNFREED_POOLS=1.
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
wrap=$logs/vg-exec
cat > "$wrap" <<WRAP
#!/bin/sh
exec $(echo $vg) --log-file="$logs/vg.\$(basename "\$1" .t).%p" perl "\$@"
WRAP
chmod +x "$wrap"
start=$(date +%s)
prove --timer --exec "$wrap" "${tests[@]}"
suite_rc=$?
secs=$(( $(date +%s) - start ))

perl - "$logs" <<'PERL'
use strict; use warnings;
my ($dir) = @ARGV;
my ($files, $errors, $mod_lost, $perl_lost, $summary) = (0, 0, 0, 0, 0);
# a frame of the module: its object, or (with debug information, which
# valgrind shows instead of the object) its glue and sources
my $module = qr{ProcessPool\.(?:so|xs)|XS_Brindlecove__ProcessPool_|\((?:pool|worker|fdio|kvglue|kvcodec|convert|boot)\.cpp:};
my %unfreed;
for my $f (sort glob "$dir/vg.*") {
    $files++;
    local $/; open my $fh, '<', $f or next; my $text = <$fh>;
    $summary += $1 while $text =~ /ERROR SUMMARY: (\d+) errors/g;
    # records are separated by a line holding only the pid prefix
    for my $rec (split /\n==\d+== ?\n/, $text) {
        next unless $rec =~ /\S/;
        if ($rec =~ /are definitely lost in loss record/) {
            if ($rec =~ $module) {
                # The pool record and table from new are the caller's until
                # _free (no destructor): a test that drops a pool unfreed
                # loses them.  Counted on their own, by test.
                my ($first) = grep { $_ =~ $module } split /\n/, $rec;
                my ($test) = $f =~ m{/vg\.([^/]+)\.\d+$};
                if ($first =~ /\b(?:pool_create|XS_Brindlecove__ProcessPool_new)\b/) { $unfreed{$test // '?'}++ }
                else { $mod_lost++; print "LOST THROUGH THE MODULE in $f:\n$rec\n" }
            }
            else { $perl_lost++ }
        } elsif ($rec =~ /^==\d+== (?:Invalid |Conditional jump|Use of uninitialised|Syscall param|Source and destination overlap|Mismatched free|Argument .* of function)/m) {
            $errors++; print "ERROR in $f:\n$rec\n";
        }
    }
}
my $unfreed = 0; $unfreed += $_ for values %unfreed;
print "valgrind.sh: $files process logs, $errors memcheck errors ($summary by valgrind's own summaries), ",
      "$mod_lost other definitely-lost blocks through the module, $unfreed of pools never given to _free, ",
      "$perl_lost of perl's own (ignored)\n";
print "valgrind.sh:   unfreed pools in $_: $unfreed{$_} blocks\n" for sort keys %unfreed;
exit($errors || $summary || $mod_lost || ($unfreed && !$ENV{VALGRIND_ALLOW_UNFREED_POOLS}) ? 1 : 0);
PERL
report_rc=$?
echo "valgrind.sh: suite exit $suite_rc in ${secs}s"
[ $suite_rc -eq 0 ] && [ $report_rc -eq 0 ]
