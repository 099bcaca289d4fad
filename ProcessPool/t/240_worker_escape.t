# A worker never returns into the caller's code: not through loop control
# in its subroutine that finds the caller's loop around start_long, not
# through a __WARN__ handler that dies during its final report.  Only an
# explicit exit ends it with another status.
use strict;
use warnings;
use Test::More;
use File::Temp qw(tempdir);
use POSIX ();
use lib 't/lib';
use WorkerTest qw(read_to_eof slurp);
use Brindlecove::ProcessPool;

alarm 120;
my $dir = tempdir(CLEANUP => 1);
my $parent = $$;
my $markfile = "$dir/markers";
my $errfile = "$dir/stderr";

# Every process that runs the caller's code past start_long leaves a line
# here; a worker that gets there leaves its line and ends at once, so an
# escaped worker can neither run on into the rest of this file nor fork
# again through a redo.
sub mark {
    open(my $m, '>>', $markfile) or die "marker: $!";
    print $m "$_[0] $$\n";
    close $m;
}
sub guard {
    return if $$ == $parent;
    mark("escaped to $_[0]");
    POSIX::_exit(0);
}

# Launches $func in slot 0 from inside a labelled loop, with $handler as
# the __WARN__ handler; returns what the worker's end looked like.
sub launch_in_loop {
    my ($p, $func, $handler) = @_;
    unlink $markfile, $errfile;
    open(my $saved, '>&', \*STDERR) or die $!;
    open(STDERR, '>', $errfile) or die $!;
    L: for my $round (1) {
        guard('the loop body');
        local $SIG{__WARN__} = $handler;
        $p->start_long(0, $func);
        guard('the code after start_long');
        mark('after start_long');
    }
    guard('the code after the loop');
    open(STDERR, '>&', $saved) or die $!;
    my (undef, $eof) = read_to_eof($p->rfd(0), 10);
    return { eof => $eof, stop => [$p->stop(0)], markers => slurp($markfile),
             stderr => slurp($errfile) };
}

my $report = qr/^child: sub returned, exiting!(?:: [^\n]+)? at /m;
# [ name, func, __WARN__ handler, stop result, final report expected ]
my @cases = (
    [ 'last',            sub { last },   undef, [1, 0], 1 ],
    [ 'next',            sub { next },   undef, [1, 0], 1 ],
    [ 'redo',            sub { redo },   undef, [1, 0], 1 ],
    [ 'last L',          sub { last L }, undef, [1, 0], 1 ],
    [ 'next L',          sub { next L }, undef, [1, 0], 1 ],
    [ 'redo L',          sub { redo L }, undef, [1, 0], 1 ],
    [ 'loop control after an eval',
      sub { eval { 1 }; for (1) { } last L }, undef, [1, 0], 1 ],
    [ '__WARN__ handler dies',      sub { $! = 0 }, sub { die "handler died\n" }, [1, 0], 0 ],
    [ '__WARN__ handler does last L', sub { $! = 0 }, sub { last L },             [1, 0], 0 ],
    [ 'func and handler both leave', sub { next L }, sub { die "handler died\n" }, [1, 0], 0 ],
    [ 'exit 7',                     sub { exit 7 }, undef,                        [7, 0], 0 ],
);
my $p = Brindlecove::ProcessPool->new(1);
for my $case (@cases) {
    my ($name, $func, $handler, $want, $reported) = @$case;
    subtest $name => sub {
        my $r = launch_in_loop($p, $func, $handler);
        ok($r->{eof}, 'worker ended by itself');
        is_deeply($r->{stop}, $want, "stop gives @$want");
        is($r->{markers}, "after start_long $parent\n",
           "only the parent ran the caller's code after start_long");
        if ($reported) {
            like($r->{stderr}, $report, 'final report on stderr');
        } else {
            unlike($r->{stderr}, $report, 'no final report reached stderr');
        }
    };
}
$p->_free;

done_testing;
