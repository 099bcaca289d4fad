use strict;
use warnings;
use Test::More;
use Config;
use File::Temp qw(tempdir);
use FindBin;

# The codec's byte logic has a vector path (SSE2, on x86-64) and a portable
# one; the module is built with one of them.  Both are compiled here into
# the fuzz target's own driver, which checks the split, the form decision,
# the encoder and the value decoder against reference models written from
# the format's rules, on the fuzz seeds and a fixed series of generated
# inputs, with ASan and UBSan where the compiler has them (every block
# load and store is then checked against buffers of the exact size).
plan skip_all => 'compiles and runs C++ programs, which valgrind would follow'
    if $ENV{PROCPOOL_VALGRIND};

# The compiler and the driver run without the sanitizer runtime that
# tools/asan.sh preloads into the tests: the driver links its own.
delete local @ENV{qw(LD_PRELOAD ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS)};

my $dist = "$FindBin::Bin/..";
my $cxx = $ENV{PROCPOOL_CXX} || 'g++';
my $dir = tempdir(CLEANUP => 1);
my @seeds = glob "$dist/fuzz/seeds/*";
my $x86_64 = $Config{archname} =~ /^x86_64/;

sub build {
    my ($bin, @defs) = @_;
    my @cmd = ($cxx, '-std=c++17', '-O1', '-g', '-DKV_FUZZ_MAIN', @defs, "-I$dist/src",
               '-o', $bin, "$dist/fuzz/kv_fuzz.cpp", "$dist/src/kvcodec.cpp");
    for my $san (['-fsanitize=address,undefined', '-fno-sanitize-recover=undefined'], []) {
        return 1 if system("@cmd @$san >$dir/build.log 2>&1") == 0;
    }
    return 0;
}

for my $path (['default', $x86_64 ? 'sse2' : undef], ['portable', 'portable', '-DKV_PORTABLE']) {
    my ($name, $want, @defs) = @$path;
    my $bin = "$dir/kv_$name";
    ok(build($bin, @defs), "$name path: the driver builds") or do {
        diag(`cat $dir/build.log`);
        next;
    };
    my $out = `ASAN_OPTIONS=detect_leaks=0 $bin @seeds 2>&1`;
    is($?, 0, "$name path: every check passes") or diag($out);
    my ($got) = $out =~ /^kv_fuzz (\S+):/m;
    is($got, $want, "$name path: compiled as the $want path") if defined $want;
}

done_testing;
