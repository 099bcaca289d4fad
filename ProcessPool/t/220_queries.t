# Slot queries and counters: slots by context, the descriptor lists in
# slot order, the use counter across stop and relaunch, and slot indexes
# outside the table.
use strict;
use warnings;
use Test::More;
use File::Temp qw(tempdir);
use POSIX ();
use lib 't/lib';
use WorkerTest qw(read_until read_to_eof fd_count with_stderr_to slurp);
use Brindlecove::ProcessPool;

alarm 120;
my $dir = tempdir(CLEANUP => 1);
my @fields = qw(pid used rfd wfd efd);
my $sleeper = sub { sleep 1 for 1 .. 30 };
sub fields_of { my ($p, $i) = @_; return [map { $p->$_($i) } @fields] }

subtest 'workers in slots 1 and 3 of four' => sub {
    my $p = Brindlecove::ProcessPool->new(4);
    is_deeply([$p->slots], [], 'fresh pool: no slot in list context');
    is(scalar $p->slots, 0, 'and 0 in scalar context');
    is_deeply([$p->rfds, $p->wfds, $p->efds], [], 'fresh pool: empty lists');

    $p->start_long(3, $sleeper);    # the later slot first: order is by slot
    $p->start_long(1, $sleeper);
    is_deeply([$p->slots], [1, 3], 'slots in list context');
    is(scalar $p->slots, 2, 'slots in scalar context');
    my $n = $p->slots;
    is($n, 2, 'slots assigned to a scalar');
    is_deeply([$p->rfds], [$p->rfd(1), $p->rfd(3)], 'rfds in slot order');
    is_deeply([$p->wfds], [$p->wfd(1), $p->wfd(3)], 'wfds in slot order');
    is_deeply([$p->efds], [$p->efd(1), $p->efd(3)], 'efds in slot order');
    my %distinct = map { $_ => 1 } $p->rfds, $p->wfds, $p->efds;
    is(keys %distinct, 6, 'six distinct descriptors');
    isnt($p->pid(1), $p->pid(3), 'two processes');
    is_deeply(fields_of($p, $_), [0, 0, 0, 0, 0], "free slot $_ reads all zero") for 0, 2;

    is_deeply([$p->stop(3)], [0, 2], 'stop 3');
    is_deeply([$p->slots], [1], 'slot 3 no longer listed');
    is_deeply(fields_of($p, 3), [0, 0, 0, 0, 0], 'stopped slot reads all zero');
    is_deeply([$p->efds], [$p->efd(1)], 'lists follow');
    is_deeply([$p->stop(1)], [0, 2], 'stop 1');
    $p->_free;
};

subtest 'use counter: inc, stop and relaunch' => sub {
    my $p = Brindlecove::ProcessPool->new(3);
    $p->start_long(2, $sleeper);
    is_deeply([$p->inc(2)], [], 'inc returns nothing');
    $p->inc(2) for 1 .. 2;
    is($p->used(2), 3, 'three incs on a running worker');
    $p->stop(2);
    is($p->used(2), 0, 'stop clears it');
    $p->inc(2);
    $p->start_long(2, $sleeper);
    is($p->used(2), 0, 'relaunch resets it');

    $p->inc(0);
    is($p->used(0), 1, 'inc on a free slot counts');
    is($p->pid(0), 0, 'but the slot stays free');
    is_deeply([$p->slots], [2], 'and is not listed');
    $p->stop(2);
    $p->_free;
};

subtest 'a worker that exited by itself stays listed until stopped' => sub {
    my $p = Brindlecove::ProcessPool->new(2);
    with_stderr_to("$dir/exited.err", sub { $p->start_long(1, sub { $! = 0 }) });
    my (undef, $eof) = read_to_eof($p->rfd(1), 10);
    ok($eof, 'worker ended');
    is_deeply([$p->slots], [1], 'still listed');
    is_deeply([$p->rfds, $p->wfds, $p->efds], [$p->rfd(1), $p->wfd(1), $p->efd(1)],
              'its descriptors still listed');
    is_deeply([$p->stop(1)], [1, 0], 'stop reaps it');
    is_deeply([$p->slots], [], 'then gone');
    $p->_free;
};

subtest 'a second launch into an occupied slot replaces the record' => sub {
    my $p = Brindlecove::ProcessPool->new(1);
    $p->start_long(0, $sleeper);
    my ($pid1, $r1, $w1, $e1) = @{ fields_of($p, 0) }[0, 2, 3, 4];
    $p->inc(0);
    $p->start_long(0, $sleeper);
    isnt($p->pid(0), $pid1, 'the slot names the new worker');
    is($p->used(0), 0, 'with a fresh count');
    ok(kill(0, $pid1), 'the first worker keeps running without a record');
    is_deeply([$p->stop(0)], [0, 2], 'stop ends the second');
    ok(kill(0, $pid1), 'and not the first');
    # The pool forgot the first worker: end it by hand.
    POSIX::close($_) for $r1, $w1, $e1;
    kill 'INT', $pid1;
    is(waitpid($pid1, 0), $pid1, 'first worker reaped by hand');
    $p->_free;
};

subtest 'slot index outside the table' => sub {
    my $p = Brindlecove::ProcessPool->new(4);
    my $empty = Brindlecove::ProcessPool->new(0);
    my $marker = "$dir/launched";
    my $func = sub { open(my $m, '>>', $marker); print $m "ran\n"; close $m };
    my $before = fd_count();
    # Called as functions, so that a self that is no pool reaches them.
    my @calls = map {
        my $f = \&{"Brindlecove::ProcessPool::$_"};
        [ $_ => $_ eq 'start_long' ? sub { $f->(@_, $func) } : $f ];
    } 'start_long', 'stop', 'inc', @fields;
    for my $c (@calls) {
        my ($name, $call) = @$c;
        for my $t ([$p, -1, 4], [$p, 4, 4], [$p, 2**31 - 1, 4], [$empty, 0, 0]) {
            my ($pool, $i, $n) = @$t;
            ok(!eval { $call->($pool, $i); 1 }, "$name($i) on $n slots fails");
            like($@, qr/^slot index \Q$i\E is out of range for a pool of $n slots at \Q$0\E line \d+\.$/,
                 '... naming the index and the slot count');
        }
    }
    # The pool object is checked before the index.
    for my $c (@calls) {
        my ($name, $call) = @$c;
        ok(!eval { $call->('Not::A::Pool', 99); 1 }, "$name on a non-pool");
        like($@, qr/^self is not of type Brindlecove::ProcessPool/, '... fails on self first');
    }
    is(fd_count(), $before, 'no descriptor made');
    select undef, undef, undef, 0.3;
    ok(!-e $marker, 'no worker started');
    is_deeply([$p->slots], [], 'no slot touched');
    is_deeply([map { @{ fields_of($p, $_) } } 0 .. 3], [(0) x 20], 'all slots still zero');
    $p->_free;
    $empty->_free;
};

done_testing;
