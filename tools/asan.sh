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
# One kind of module leak is told apart: the pool record and slot table
# that new allocates belong to the caller until _free (the module has no
# destructor).  A test that drops a pool without _free leaks them: listed
# by test, they fail the run unless ASAN_ALLOW_UNFREED_POOLS=1.  A worker
# (a fork of the test) that ends through Perl's exit leaves its inherited
# copy of the parent's pools: listed apart, never a failure.  Every perl
# the run starts loads tools/PoolLogStart.pm, which tells the two apart
# (tools/sort-logs.pl).
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
asan_opts="detect_leaks=1:halt_on_error=1:abort_on_error=0:exitcode=86:detect_stack_use_after_return=0:allow_user_segv_handler=1"
export LSAN_OPTIONS="exitcode=0:report_objects=0:max_leaks=50"
export PROCPOOL_SANITIZED=1
# Each test's processes (the test, its workers, its child perls) log under
# the test's name, so that a report names the test it came from.
cat > "$build/san-exec" <<WRAP
#!/bin/sh
name=\$(basename "\$1" .t)
mkdir -p "$logs/starts/\$name"
export PROCPOOL_LOG_STARTS="$logs/starts/\$name"
export PERL5OPT="-I$root/tools -MPoolLogStart\${PERL5OPT:+ \$PERL5OPT}"
export ASAN_OPTIONS="$asan_opts:log_path=$logs/asan.\$name"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$logs/ubsan.\$name"
export LD_PRELOAD="$libasan $libubsan"
exec perl -I"$build/blib/lib" -I"$build/blib/arch" "\$@"
WRAP
chmod +x "$build/san-exec"
prove --timer --exec "$build/san-exec" "${tests[@]}"
suite_rc=$?
suite_secs=$(( $(date +%s) - start ))

fuzz_rc=0
if [ "$fuzz_secs" -gt 0 ] && [ -f fuzz/run.sh ] && [ $# -eq 0 ] &&
   ! command -v "${CXX_FUZZ:-clang++}" >/dev/null; then
    echo "asan.sh: ${CXX_FUZZ:-clang++} not installed: fuzz target skipped"
elif [ "$fuzz_secs" -gt 0 ] && [ -f fuzz/run.sh ] && [ $# -eq 0 ]; then
    echo "asan.sh: fuzz/run.sh $fuzz_secs"
    ( unset ASAN_OPTIONS LSAN_OPTIONS UBSAN_OPTIONS; sh fuzz/run.sh "$fuzz_secs" ) > "$logs/fuzz.out" 2>&1
    fuzz_rc=$?
    tail -n 12 "$logs/fuzz.out"
fi

# Sort the logs: errors and module leaks count, perl's own leaks and the
# pools that workers inherited do not (tools/sort-logs.pl says how).
perl "$root/tools/sort-logs.pl" --tool asan --logs "$logs" --starts "$logs/starts" --build "$build"
report_rc=$?
echo "asan.sh: suite exit $suite_rc in ${suite_secs}s, fuzz exit $fuzz_rc"
[ $suite_rc -eq 0 ] && [ $fuzz_rc -eq 0 ] && [ $report_rc -eq 0 ]
