use strict;
use warnings;
use Test::More;
use lib 't/lib';
use PmapRun;
use Cwd ();
use POSIX ();

# pmap --progress on a terminal: script(1) gives pmap a pseudo-terminal
# and copies what is drawn on it to a file.
plan skip_all => 'examples/pmap not found (run from the distribution directory)'
    unless -f PMAP;
my ($SCRIPT) = grep { -x } qw(/usr/bin/script /bin/script);
plan skip_all => 'script(1) not found' unless $SCRIPT;
# a chroot or container without /dev/pts has no pseudo-terminals to give
plan skip_all => 'no pseudo-terminal can be made here'
    unless system("$SCRIPT -q -e -c true /dev/null </dev/null >/dev/null 2>&1") == 0;

sub q_sh { my ($s) = @_; $s =~ s/'/'\\''/g; return "'$s'" }

my $pmap = join ' ', map { q_sh($_) } $^X, (map { '-I' . Cwd::abs_path($_) } grep { !ref && -d } @INC), PMAP;
my $dir = tmpdir();
# about two seconds of work on two workers, so that the meter is drawn
# several times before the end
my $file = spew('progress-in', join '', map { "record $_\n" } 1 .. 3000);
my $size = -s $file;

# Runs the shell command $cmd on a terminal; returns what appeared on it.
sub on_terminal {
    my ($cmd) = @_;
    my $typescript = "$dir/typescript";
    unlink $typescript;
    my $pid = fork // die "fork: $!";
    if (!$pid) {
        open STDIN, '<', '/dev/null' or POSIX::_exit(126);
        open STDOUT, '>', "$dir/script.out" or POSIX::_exit(126);
        $ENV{SHELL} = '/bin/sh';
        { no warnings 'exec'; exec $SCRIPT, '-q', '-e', '-c', $cmd, $typescript; }
        POSIX::_exit(127);
    }
    # bounded: killed (with what it started) after 60 s
    defined(bounded_wait($pid, 60)) or return "[timeout]";
    return -e $typescript ? slurp($typescript) : '';
}

my $meter = qr/pmap: (\d+) records, [\d.]+ [KMG]?B, \d+ records\/s, [\d.]+ [KMG]?B\/s/;

subtest 'standard output to a file: the meter on the terminal' => sub {
    my $tty = on_terminal("$pmap --progress -j 2 -t spin:3000 " . q_sh($file) . " > $dir/out1");
    my @draws = $tty =~ /\r($meter[^\r\n]*)/g;
    ok(@draws >= 2, 'drawn more than once') or diag(explain($tty));
    like($tty, qr/\r$meter, 100%\e\[K\r?\n/, 'the last state: every record, 100%');
    my ($last) = $tty =~ /\r$meter, 100%/;
    is($last, 3000, 'the last state counts every record');
    my @early = grep { /^$meter, +\d+%, ETA \d+:\d\d/ && $1 < 3000 } @draws;
    ok(@early >= 1, 'on the way: records so far, a percentage and a time left')
        or diag(explain(\@draws));
    is(scalar(() = slurp("$dir/out1") =~ /\n/g), 3000, 'the output is whole');
};

subtest 'input from a pipe: no percentage (no total known)' => sub {
    my $tty = on_terminal("cat " . q_sh($file) . " | $pmap --progress -j 2 -t cat > $dir/out2");
    like($tty, qr/$meter\e\[K/, 'records, bytes and rates') or diag(explain($tty));
    unlike($tty, qr/%/, 'no percentage');
};

subtest 'standard error redirected too: drawn on /dev/tty' => sub {
    my $tty = on_terminal("$pmap --progress -j 2 -t cat " . q_sh($file) . " > $dir/out3 2> $dir/err3");
    like($tty, qr/$meter, 100%/, 'on the controlling terminal') or diag(explain($tty));
    is(slurp("$dir/err3"), '', 'nothing in the redirected standard error');
};

subtest 'standard output on the terminal: never drawn over the results' => sub {
    my $tty = on_terminal("$pmap --progress -j 2 -t upper " . q_sh($file));
    unlike($tty, $meter, 'no meter') or diag(explain(substr($tty, 0, 300)));
    like($tty, qr/pmap: --progress: no terminal to draw on/, 'pmap says why, once');
    is(scalar(() = $tty =~ /^RECORD \d+\r?$/mg), 3000, 'the results, clean');
};

done_testing;
