# tools/sort-logs.pl on small logs of both tools: what fails a run, what
# is only counted, and the pools of a started perl told from a worker's.
use strict;
use warnings;
use Test::More;
use File::Temp qw(tempdir);
use FindBin;

my $SORTER = "$FindBin::Bin/../sort-logs.pl";
my $BUILD = '/tmp/pp-build-asan';

# ASan leak blocks: the allocator's own frames are .cpp files of the
# sanitizer runtime, with a path; perl's are C.
sub asan_leak {
    my @frames = @_;
    my $n = 0;
    return "Direct leak of 16 byte(s) in 1 object(s) allocated from:\n"
         . "    #0 0x7f45958b83b7 in __interceptor_calloc ../../../../src/libsanitizer/asan/asan_malloc_linux.cpp:77\n"
         . join('', map { sprintf "    #%d 0x55e1f1176f3a in %s\n", ++$n, $_ } @frames) . "\n";
}
sub asan_log {
    return "=================================================================\n"
         . "==4242==ERROR: LeakSanitizer: detected memory leaks\n\n" . join('', @_)
         . "SUMMARY: AddressSanitizer: 16 byte(s) leaked in 1 allocation(s).\n";
}
my $A_PERL = asan_leak('Perl_safesyscalloc build-static/util.c:474', 'Perl_newSV build-static/sv.c:100');
my $A_POOL = asan_leak('Perl_safesyscalloc build-static/util.c:474',
                       "pool_create(interpreter*, int) $BUILD/src/pool.cpp:16",
                       "XS_Brindlecove__ProcessPool_new $BUILD/ProcessPool.xs:32");
my $A_OTHER = asan_leak('Perl_safesysmalloc build-static/util.c:161',
                        "kv_encode_sv(interpreter*, sv**, int) $BUILD/src/kvglue.cpp:40");
my $A_ERROR = "=================================================================\n"
            . "==4242==ERROR: AddressSanitizer: heap-buffer-overflow on address 0x602000000011\n"
            . "READ of size 1 at 0x602000000011 thread T0\n"
            . "    #0 0x7f1 in kv_decode_push(interpreter*, sv**, sv*) $BUILD/src/kvglue.cpp:80\n"
            . "SUMMARY: AddressSanitizer: heap-buffer-overflow $BUILD/src/kvglue.cpp:80\n";
my $UBSAN = "$BUILD/src/kvcodec.cpp:50:12: runtime error: shift exponent 64 is too large\n";

# valgrind records, separated by a bare "==PID==" line
sub vg_log {
    my ($errors, @recs) = @_;
    return join('', map { "$_==77== \n" } @recs) . "==77== ERROR SUMMARY: $errors errors from $errors contexts\n";
}
sub vg_lost {
    return "==77== 16 bytes in 1 blocks are definitely lost in loss record 3 of 9\n"
         . "==77==    at 0x48455EF: calloc (vg_replace_malloc.c:1328)\n"
         . join('', map { "==77==    by 0x1B0F3A: $_\n" } @_);
}
my $V_PERL = vg_lost('Perl_safesyscalloc (util.c:474)', 'Perl_newSV (sv.c:100)');
my $V_POOL = vg_lost('Perl_safesyscalloc (util.c:474)', 'pool_create(interpreter*, int) (pool.cpp:16)',
                     'XS_Brindlecove__ProcessPool_new (ProcessPool.xs:32)');
my $V_OTHER = vg_lost('Perl_safesysmalloc (util.c:161)', 'kv_encode_sv(interpreter*, sv**, int) (kvglue.cpp:40)');
my $V_INVALID = "==77== Invalid read of size 1\n==77==    at 0x4C2: kv_decode_push (kvglue.cpp:80)\n";

# [ name, tool, { log file => text }, [ started "TEST/PID" ], exit, output pattern ]
my @cases = (
    [ 'asan: only perl\'s own leaks', 'asan', { 'asan.t1.100' => asan_log($A_PERL, $A_PERL) }, ['t1/100'],
      0, qr/0 blocks of pools a test never gave.*2 leaks of perl's own/ ],
    [ 'asan: a pool the test dropped', 'asan', { 'asan.t1.100' => asan_log($A_POOL, $A_PERL) }, ['t1/100'],
      1, qr/unfreed pools in t1: 1 blocks/ ],
    [ 'asan: a pool a worker inherited', 'asan', { 'asan.t1.100' => asan_log($A_PERL), 'asan.t1.101' => asan_log($A_POOL) },
      ['t1/100'], 0, qr/pools inherited by workers of t1: 1 blocks/ ],
    [ 'asan: the same pid started under another test is not this one', 'asan',
      { 'asan.t2.101' => asan_log($A_POOL) }, ['t1/101'], 0, qr/inherited by workers of t2: 1/ ],
    [ 'asan: another leak through the module, even in a worker', 'asan', { 'asan.t1.101' => asan_log($A_OTHER) }, [],
      1, qr/MODULE LEAK in .*asan\.t1\.101.*kv_encode_sv/s ],
    [ 'asan: an ASan error', 'asan', { 'asan.t1.100' => $A_ERROR }, ['t1/100'], 1, qr/REPORT in .*heap-buffer-overflow/s ],
    [ 'asan: a UBSan runtime error', 'asan', { 'ubsan.t1.100' => $UBSAN }, ['t1/100'], 1, qr/1 sanitizer errors/ ],

    [ 'valgrind: only perl\'s own blocks', 'valgrind', { 'vg.t1.100' => vg_log(0, $V_PERL) }, ['t1/100'],
      0, qr/0 memcheck errors.*1 leaks of perl's own/ ],
    [ 'valgrind: a pool the test dropped', 'valgrind', { 'vg.t1.100' => vg_log(0, $V_POOL) }, ['t1/100'],
      1, qr/unfreed pools in t1: 1 blocks/ ],
    [ 'valgrind: a pool a worker inherited', 'valgrind', { 'vg.t1.101' => vg_log(0, $V_POOL) }, ['t1/100'],
      0, qr/pools inherited by workers of t1: 1 blocks/ ],
    [ 'valgrind: another block lost through the module', 'valgrind', { 'vg.t1.100' => vg_log(0, $V_OTHER) }, ['t1/100'],
      1, qr/MODULE LEAK.*kvglue\.cpp/s ],
    [ 'valgrind: an invalid read', 'valgrind', { 'vg.t1.100' => vg_log(1, $V_INVALID) }, ['t1/100'],
      1, qr/ERROR in .*Invalid read/s ],
);

for my $c (@cases) {
    my ($name, $tool, $logs, $starts, $exit, $like) = @$c;
    my $dir = tempdir(CLEANUP => 1);
    mkdir "$dir/logs";
    for my $f (keys %$logs) {
        open my $fh, '>', "$dir/logs/$f" or die "$f: $!";
        print {$fh} $logs->{$f};
        close $fh;
    }
    for my $s (@$starts) {
        my ($test) = split m{/}, $s;
        mkdir "$dir/starts";
        mkdir "$dir/starts/$test";
        open my $fh, '>', "$dir/starts/$s" or die "$s: $!";
        close $fh;
    }
    local $ENV{ASAN_ALLOW_UNFREED_POOLS};
    local $ENV{VALGRIND_ALLOW_UNFREED_POOLS};
    my @cmd = ($^X, $SORTER, '--tool', $tool, '--logs', "$dir/logs", '--starts', "$dir/starts",
               $tool eq 'asan' ? ('--build', $BUILD) : ());
    my $out = qx{@cmd 2>&1};
    is($? >> 8, $exit, "$name: exit $exit") or diag($out);
    like($out, $like, "$name: reported");
}

# The allowance for dropped pools, per tool; it does not cover other leaks.
{
    my $dir = tempdir(CLEANUP => 1);
    mkdir "$_" for "$dir/logs", "$dir/starts", "$dir/starts/t1";
    open my $s, '>', "$dir/starts/t1/100" or die; close $s;
    open my $fh, '>', "$dir/logs/asan.t1.100" or die;
    print {$fh} asan_log($A_POOL);
    close $fh;
    my @cmd = ($^X, $SORTER, '--tool', 'asan', '--logs', "$dir/logs", '--starts', "$dir/starts", '--build', $BUILD);
    local $ENV{ASAN_ALLOW_UNFREED_POOLS} = 1;
    my $out = qx{@cmd 2>&1};
    is($? >> 8, 0, 'ASAN_ALLOW_UNFREED_POOLS=1 lets dropped pools pass') or diag($out);
    open $fh, '>>', "$dir/logs/asan.t1.100" or die;
    print {$fh} asan_log($A_OTHER);
    close $fh;
    $out = qx{@cmd 2>&1};
    is($? >> 8, 1, '... but not another module leak') or diag($out);
}

done_testing;
