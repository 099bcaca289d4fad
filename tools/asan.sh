#!/usr/bin/env bash
# Builds Brindlecove::ProcessPool with AddressSanitizer and
# UndefinedBehaviorSanitizer in a copy of its own (/tmp/pp-build-asan, or
# $ASAN_BUILD_DIR: outside the distribution, since MakeMaker run in a
# folder below ProcessPool/ would install into ProcessPool/blib; the
# normal build is not touched) and runs the whole suite
# t/*.t of that copy with the sanitizer runtime preloaded into perl, then
# the codec's fuzz target for a short while when fuzz/run.sh exists.
#
#   tools/asan.sh            # whole suite, then 30 s of fuzzing
#   FUZZ_SECONDS=0 tools/asan.sh   # no fuzzing
#   tools/asan.sh t/620_bulk.t     # chosen tests only
#
# perl itself is not instrumented, and a non-debugging perl frees little
# at exit, so LeakSanitizer finds perl's own blocks unreferenced at the
# end of most runs.  Suppressing them by a perl function name would also
# hide the module's blocks (every allocation the module makes goes
# through perl's allocator and is called from perl's run loop), so no
# suppression list is used: each process writes its own log, and a leak
# counts as a failure exactly when its allocation stack passes through
# ProcessPool.so.  Every other sanitizer report (ASan errors, UBSan
# runtime errors) is a failure whatever its stack.
#
# Exit status: 0 when the suite passed and no report counts; 1 otherwise.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
src=$root/ProcessPool
build=${ASAN_BUILD_DIR:-/tmp/pp-build-asan}
fuzz_secs=${FUZZ_SECONDS:-30}

cxx=${CXX:-g++}
libasan=$($cxx -print-file-name=libasan.so)
libubsan=$($cxx -print-file-name=libubsan.so)
for lib in "$libasan" "$libubsan"; do
    [ -e "$lib" ] || { echo "asan.sh: $lib not found (install g++)" >&2; exit 2; }
done

# A fresh copy of the sources, without the normal build's products.
rm -rf "$build"
mkdir -p "$build"
tar -C "$src" --exclude='./build-*' --exclude='./blib' --exclude='*.o' \
    --exclude='./Makefile' --exclude='./Makefile.old' --exclude='./MYMETA.*' \
    --exclude='./pm_to_blib' --exclude='./ProcessPool.c' --exclude='./ProcessPool.bs' \
    --exclude='./fuzz/kv_fuzz' --exclude='./fuzz/corpus' -cf - . | tar -C "$build" -xf -

san='-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer'
cd "$build"
start=$(date +%s)
PROCPOOL_EXTRA_CFLAGS="$san" PROCPOOL_EXTRA_LDFLAGS="$san" PROCPOOL_OPTIMIZE='-O1 -g' \
    perl Makefile.PL >/dev/null || exit 1
make >/dev/null || { echo "asan.sh: build failed" >&2; exit 1; }
grep -q asan < <(ldd blib/arch/auto/Brindlecove/ProcessPool/ProcessPool.so) ||
    { echo "asan.sh: the module is not linked with the sanitizer" >&2; exit 1; }

logs=$build/san-logs
rm -rf "$logs"; mkdir -p "$logs"
tests=("$@")
[ ${#tests[@]} -gt 0 ] || tests=(t/*.t)

# abort_on_error=0 with halt_on_error: a report ends the process with
# exitcode 86, which the test sees as a failed child.  handle_segv etc.
# stay on so a crash is reported with its stack.
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:abort_on_error=0:exitcode=86:log_path=$logs/asan:log_exe_name=0:detect_stack_use_after_return=0:strict_string_checks=0:allow_user_segv_handler=1"
export LSAN_OPTIONS="exitcode=0:report_objects=0:max_leaks=50"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$logs/ubsan"
export PROCPOOL_SANITIZED=1
LD_PRELOAD="$libasan $libubsan" prove -b "${tests[@]}"
suite_rc=$?
suite_secs=$(( $(date +%s) - start ))

fuzz_rc=0
if [ "$fuzz_secs" -gt 0 ] && [ -x fuzz/run.sh ] && [ $# -eq 0 ]; then
    echo "asan.sh: fuzz/run.sh $fuzz_secs"
    ( unset ASAN_OPTIONS LSAN_OPTIONS UBSAN_OPTIONS; fuzz/run.sh "$fuzz_secs" ) > "$logs/fuzz.out" 2>&1
    fuzz_rc=$?
    tail -n 12 "$logs/fuzz.out"
fi

# Sort the logs: errors and module leaks count, perl's own leaks do not.
perl - "$logs" "$build" <<'PERL'
use strict; use warnings;
my ($dir, $build) = @ARGV;
# a module frame: the shared object itself, or a source file of the copy
my $module = qr{ProcessPool\.so|\Q$build\E/};
my ($errors, $mod_leaks, $perl_leaks, $files) = (0, 0, 0, 0);
for my $f (sort glob "$dir/asan.* $dir/ubsan.*") {
    $files++;
    local $/; open my $fh, '<', $f or next; my $text = <$fh>;
    my @blocks = split /\n(?=(?:Direct|Indirect) leak of |=+\n==\d+==ERROR|SUMMARY: )/, $text;
    for my $b (@blocks) {
        if ($b =~ /^(?:Direct|Indirect) leak of/) {
            if ($b =~ $module) { $mod_leaks++; print "MODULE LEAK in $f:\n$b\n" }
            else { $perl_leaks++ }
        } elsif ($b =~ /ERROR: (?!LeakSanitizer)/ || $b =~ /runtime error:/) {
            $errors++; print "REPORT in $f:\n$b\n";
        }
    }
}
print "asan.sh: $files log files, $errors sanitizer errors, $mod_leaks leaks through ProcessPool.so, $perl_leaks of perl's own (ignored)\n";
exit($errors || $mod_leaks ? 1 : 0);
PERL
report_rc=$?
echo "asan.sh: suite exit $suite_rc in ${suite_secs}s, fuzz exit $fuzz_rc"
[ $suite_rc -eq 0 ] && [ $fuzz_rc -eq 0 ] && [ $report_rc -eq 0 ]
