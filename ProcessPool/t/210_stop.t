# Stopping workers: exit code and signal for each way a worker ends, a
# failed wait, and stop of a free slot.
use strict;
use warnings;
use Test::More;
use File::Temp qw(tempdir);
use lib 't/lib';
use WorkerTest qw(readable read_until read_to_eof send_line fd_count fd_open
                  with_stderr_to);
use Brindlecove::ProcessPool;

alarm 120;
my $dir = tempdir(CLEANUP => 1);
my $errfile = "$dir/stderr";

# Workers announce "ready" once set up, so that the stop meets the state
# under test and not the start-up; each ends by itself within 30 seconds.
sub ready { $| = 1; print "ready\n" }
sub launch_ready {
    my ($p, $i, $func) = @_;
    with_stderr_to($errfile, sub { $p->start_long($i, $func) });
    my ($got) = read_until($p->rfd($i), qr/ready\n/, 10);
    return $got eq "ready\n";
}

subtest 'a worker blocked reading stdin is ended by SIGINT: 0, 2' => sub {
    my $p = Brindlecove::ProcessPool->new(2);
    # Slot 0's worker ends on end-of-file, but the worker in slot 1 holds
    # a copy of slot 0's wfd, so closing it cannot end slot 0: only the
    # signal can.
    ok(launch_ready($p, 0, sub { ready(); my @all = <STDIN>; $! = 0 }), 'reader ready');
    ok(launch_ready($p, 1, sub { ready(); sleep 1 for 1 .. 30 }), 'holder ready');
    my $pid = $p->pid(0);
    is_deeply([$p->stop(0)], [0, 2], 'reader: 0, 2');
    ok(!kill(0, $pid), 'reader is gone (reaped)');
    is(scalar $p->stop(1), 2, 'scalar context: the signal');
    $p->_free;
};

# [ name, func, expected pair ]
my @ends = (
    [ 'sleeping worker, default SIGINT', sub { ready(); sleep 1 for 1 .. 30 },             [0, 2] ],
    [ 'SIGINT handler that exits 3',     sub { $SIG{INT} = sub { exit 3 }; ready();
                                               sleep 1 for 1 .. 30 },                    [3, 0] ],
    # Ignores SIGINT and ends on end-of-file: only closing wfd before the
    # wait lets this stop return.
    [ 'SIGINT ignored, ends on EOF',     sub { $SIG{INT} = 'IGNORE'; ready();
                                               1 while <STDIN>; $! = 0 },                [1, 0] ],
    [ 'killed by another signal',        sub { $SIG{INT} = sub { kill 'TERM', $$; sleep 5 }; ready();
                                               sleep 1 for 1 .. 30 },                    [0, 15] ],
);
for my $case (@ends) {
    my ($name, $func, $want) = @$case;
    subtest $name => sub {
        my $p = Brindlecove::ProcessPool->new(1);
        my $before = fd_count();
        ok(launch_ready($p, 0, $func), 'worker ready');
        is_deeply([$p->stop(0)], $want, "stop gives @$want");
        is(fd_count(), $before, 'descriptors closed');
        is_deeply([map { $p->$_(0) } qw(pid used rfd wfd efd)], [0, 0, 0, 0, 0], 'slot all zero');
        $p->_free;
    };
}

subtest 'a SIGINT handler of the parent is inherited' => sub {
    my $p = Brindlecove::ProcessPool->new(1);
    my $ok = do {
        local $SIG{INT} = sub { exit 4 };
        launch_ready($p, 0, sub { ready(); sleep 1 for 1 .. 30 });
    };
    ok($ok, 'worker ready');
    is_deeply([$p->stop(0)], [4, 0], "the worker ran the parent's handler: 4, 0");
    $p->_free;
};

subtest 'a worker that already ended: 1, 0; then the slot is free' => sub {
    my $p = Brindlecove::ProcessPool->new(1);
    with_stderr_to($errfile, sub { $p->start_long(0, sub { $! = 0 }) });
    my (undef, $eof) = read_to_eof($p->rfd(0), 10);
    ok($eof, 'worker ended by itself');
    my $sig = $p->stop(0);
    is($sig, 0, 'scalar context gives the signal, 0');
    is_deeply([$p->stop(0)], [], 'second stop: empty list');
    is(scalar $p->stop(0), undef, 'second stop in scalar context: undef');
    $p->_free;
};

subtest 'failed wait: 255, 127, slot free' => sub {
    my $p = Brindlecove::ProcessPool->new(1);
    local $SIG{CHLD} = 'IGNORE';    # children are reaped by the system
    my $before = fd_count();
    ok(launch_ready($p, 0, sub { ready(); sleep 1 for 1 .. 30 }), 'worker ready');
    my $pid = $p->pid(0);
    is_deeply([$p->stop(0)], [255, 127], '255, 127');
    is_deeply([map { $p->$_(0) } qw(pid used rfd wfd efd)], [0, 0, 0, 0, 0], 'slot cleared');
    is_deeply([$p->slots], [], 'not listed');
    is(fd_count(), $before, 'descriptors closed');
    my $gone = 0;
    for (1 .. 100) { $gone = !kill(0, $pid) and last; select undef, undef, undef, 0.05 }
    ok($gone, 'the worker was signalled and is gone');
    $p->_free;
};

subtest 'stop of a free slot does nothing' => sub {
    my $p = Brindlecove::ProcessPool->new(3);
    # A free slot holds 0 in its descriptor fields and its pid: closing
    # them would close our stdin, signalling pid 0 our process group.
    open(STDIN, '<', '/dev/null') or die $! unless fd_open(0);
    ok(fd_open(0), 'descriptor 0 is open');
    my $before = fd_count();
    is_deeply([$p->stop(1)], [], 'never launched: empty list');
    $p->inc(2);
    is_deeply([$p->stop(2)], [], 'free slot with a count: empty list');
    is($p->used(2), 1, 'and its count stays');
    ok(fd_open(0), 'descriptor 0 still open');
    is(fd_count(), $before, 'no descriptor closed');
    $p->_free;
};

done_testing;
