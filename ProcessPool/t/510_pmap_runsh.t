use strict;
use warnings;
use Test::More;
use lib 't/lib';
use PmapRun;
use Cwd ();
use File::Basename ();
use POSIX ();

# The repository's run.sh: it runs pmap on paths relative to where it is
# called from, and builds only when a source is newer than its last build.
my $dist = Cwd::getcwd();
my $runsh = Cwd::abs_path("$dist/../run.sh");
plan skip_all => 'not in the repository (no ../run.sh beside this distribution)'
    unless defined $runsh && -x $runsh && -f "$dist/examples/pmap"
        && Cwd::abs_path("$dist/..") eq Cwd::abs_path((File::Basename::dirname($runsh)));
my $stamp = "$dist/blib/.run-stamp";

# Runs run.sh from $dir; returns (status, stdout, stderr).
sub run_sh {
    my ($dir, @args) = @_;
    my $pid = fork // die "fork: $!";
    if (!$pid) {
        chdir $dir or POSIX::_exit(126);
        open STDOUT, '>', "$dir/run.out" or POSIX::_exit(126);
        open STDERR, '>', "$dir/run.err" or POSIX::_exit(126);
        { no warnings 'exec'; exec $runsh, @args; }
        POSIX::_exit(127);
    }
    # bounded: killed (with what it started) after 300 s
    my $status = bounded_wait($pid, 300);
    return (-1, '', 'timeout') unless defined $status;
    return ($status, slurp("$dir/run.out"), slurp("$dir/run.err"));
}

my $dir = tmpdir();
mkdir "$dir/sub" or die "$dir/sub: $!";
spew("$dir/sub/words.txt", "alpha\nbeta\n");

my ($st, $out, $err) = run_sh("$dir/sub", '-t', 'upper', 'words.txt', '../sub/words.txt');
ok($st == 0 && $out eq "ALPHA\nBETA\nALPHA\nBETA\n", 'relative paths, as the caller sees them')
    or diag("status $st, stderr $err");
ok(-f $stamp, 'the build is recorded');

utime 1, 1, $stamp;    # as if built before every source was written
($st, $out) = run_sh($dir, '--help');
ok($st == 0 && $out =~ /^SYNOPSIS/m, '--help');
cmp_ok((stat $stamp)[9], '>', 1, 'a source newer than the last build: built again');

my $t = (stat $stamp)[9];
($st, $out) = run_sh($dir, '-e', 'length', "$dir/sub/words.txt");
ok($st == 0 && $out eq "5\n4\n", 'absolute path');
is((stat $stamp)[9], $t, 'nothing changed: no build');

done_testing;
