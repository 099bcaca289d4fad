# Launching workers: the pipes and the worker's descriptors, the end of a
# worker whose subroutine returns or dies, and what crosses the fork.
use strict;
use warnings;
use Test::More;
use File::Temp qw(tempdir);
use POSIX ();
use lib 't/lib';
use WorkerTest qw(readable read_until read_to_eof send_line fd_count fd_open
                  with_stderr_to slurp);
use Brindlecove::ProcessPool;

alarm 120;
my $dir = tempdir(CLEANUP => 1);
my $errtext = sub { local $! = shift; "$!" };

# Every worker here ends by itself within a bounded time, so a failing
# test leaves nothing running for long.
sub echo_worker {
    return sub {
        $| = 1;
        while (defined(my $line = <STDIN>)) {
            chomp $line;
            # stderr first: the reply tells the test the line is written
            print STDERR "worker-stderr:$line\n" if $line eq 'to-stderr';
            print "echo:$line\n";
        }
        sleep 1 for 1 .. 30;    # stays alive after end-of-file
    };
}

subtest 'requests on wfd reach the worker, replies come back on rfd' => sub {
    my $p = Brindlecove::ProcessPool->new(2);
    my $before = fd_count();
    my $errfile = "$dir/roundtrip.err";
    with_stderr_to($errfile, sub { $p->start_long(1, echo_worker()) });

    my ($pid, $wfd, $rfd, $efd) = map { $p->$_(1) } qw(pid wfd rfd efd);
    ok($pid > 0 && kill(0, $pid), 'pid is a live process');
    is($p->used(1), 0, 'used starts at 0');
    is_deeply([$p->slots], [1], 'slot is occupied');
    ok(fd_open($_), "parent-side descriptor $_ is open") for $wfd, $rfd, $efd;
    is(fd_count() - $before, 3, 'exactly three descriptors stay open in the parent');

    # Written right after the launch, before the worker reads: it waits
    # in the pipe.
    is(Brindlecove::ProcessPool::writefd($wfd, "one\ntwo\n"), 8, 'writefd to wfd');
    my ($got) = read_until($rfd, qr/echo:two\n/, 10);
    is($got, "echo:one\necho:two\n", 'worker read its stdin and wrote to its stdout');

    ok(send_line($wfd, "three\n"), 'second request');
    my $buf = '';
    ok(readable($rfd, 10), 'reply is ready');
    my $n = Brindlecove::ProcessPool::readfd($rfd, $buf, 100);
    is($buf, "echo:three\n", 'readfd from rfd');

    # Standard error is the parent's, not the error pipe.
    ok(send_line($wfd, "to-stderr\n"), 'ask for a line on stderr');
    read_until($rfd, qr/echo:to-stderr\n/, 10);
    like(slurp($errfile), qr/^worker-stderr:to-stderr$/m, "worker's stderr is the parent's stderr");
    ok(!readable($efd, 0.3), 'nothing arrives on efd while the worker lives');

    my @r = $p->stop(1);
    is_deeply(\@r, [0, 2], 'stopped by SIGINT');
    is(fd_count(), $before, 'stop closed the three descriptors');
    $p->_free;
};

subtest 'efd and rfd reach end-of-file when the worker ends, not before' => sub {
    my $p = Brindlecove::ProcessPool->new(1);
    with_stderr_to("$dir/eof.err", sub {
        # Closing STDOUT alone does not end rfd: the worker still holds
        # the output pipe under its own number.
        $p->start_long(0, sub {
            close STDOUT;
            my $go = <STDIN>;
            $! = 0;
        });
        my ($rfd, $efd, $wfd) = ($p->rfd(0), $p->efd(0), $p->wfd(0));
        ok(!readable($rfd, 0.5), 'rfd still open after the worker closed STDOUT');
        ok(!readable($efd, 0.1), 'efd still open');
        send_line($wfd, "go\n");
        my ($d, $eof) = read_to_eof($efd, 10);
        ok($eof && $d eq '', 'efd reaches end-of-file, and nothing was written to it');
        ($d, $eof) = read_to_eof($rfd, 10);
        ok($eof, 'rfd reaches end-of-file');
    });
    is_deeply([$p->stop(0)], [1, 0], 'returned sub: exit 1, no signal');
    $p->_free;
};

# How a worker ends when func returns or dies, and its final warning.
# The suffix is the error text when $! is non-zero at the end, nothing
# when it is zero (func clears it, since start-up leaves one behind).
{
    no warnings 'once';
    *main::sets_enospc = sub { $! = POSIX::ENOSPC(); return 42 };
}
my $line_of_launch;
my @ends = (
    [ 'returns, $! cleared',   sub { $! = 0; return 1 },                   '' ],
    [ 'returns, $! set',       sub { $! = POSIX::ENOSPC(); return },       ': ' . $errtext->(POSIX::ENOSPC()) ],
    [ 'dies, $! cleared',      sub { $! = 0; die "func-died\n" },         '' ],
    [ 'dies, $! set',          sub { $! = POSIX::EPIPE(); die "func-died\n" }, ': ' . $errtext->(POSIX::EPIPE()) ],
    [ 'named sub',             'main::sets_enospc',                        ': ' . $errtext->(POSIX::ENOSPC()) ],
    [ 'name of no sub',        'main::no_such_sub_anywhere',               undef ],
    [ 'not code at all',       [],                                        undef ],
);
for my $case (@ends) {
    my ($name, $func, $suffix) = @$case;
    subtest "func $name" => sub {
        my $p = Brindlecove::ProcessPool->new(1);
        my $errfile = "$dir/end.err";
        with_stderr_to($errfile, sub {
            $line_of_launch = __LINE__; $p->start_long(0, $func);
            my (undef, $eof) = read_to_eof($p->rfd(0), 10);
            ok($eof, 'worker ended by itself');
        });
        is_deeply([$p->stop(0)], [1, 0], 'stop gives 1, 0');
        my $err = slurp($errfile);
        my $where = qr/ at \Q$0\E line $line_of_launch\.$/;
        if (defined $suffix) {
            like($err, qr/^child: sub returned, exiting!\Q$suffix\E$where/m, 'final warning, exact');
        } else {
            like($err, qr/^child: sub returned, exiting!(?:: [^\n]+)?$where/m, 'final warning');
        }
        is(() = $err =~ /child: sub returned/g, 1, 'warned once');
        unlike($err, qr/func-died/, "func's exception is dropped, not reported");
        $p->_free;
    };
}

subtest 'buffered output crosses the fork only once' => sub {
    my $p = Brindlecove::ProcessPool->new(1);
    my $file = "$dir/buffered.txt";
    my $outfile = "$dir/stdout.txt";
    open(my $fh, '>', $file) or die $!;
    print $fh "parent text\n";    # still in the handle's buffer

    # STDOUT too: the worker's STDOUT handle is the same Perl handle, now
    # on the output pipe, so anything the parent left in its buffer would
    # arrive on rfd ahead of the reply.
    open(my $saved, '>&', \*STDOUT) or die $!;
    open(STDOUT, '>', $outfile) or die $!;
    my $was = select(STDOUT); $| = 0; select($was);
    print STDOUT "parent stdout\n";
    with_stderr_to("$dir/buffered.err", sub {
        $p->start_long(0, sub {
            $| = 0;
            print "reply, never flushed by the worker\n";
            $! = 0;
        });
    });
    open(STDOUT, '>&', $saved) or die $!;
    close $fh;

    my ($data, $eof) = read_to_eof($p->rfd(0), 10);
    ok($eof, 'worker ended');
    is($data, "reply, never flushed by the worker\n",
       "rfd carries the worker's unflushed reply and nothing of the parent's");
    is_deeply([$p->stop(0)], [1, 0], 'stop');
    is(slurp($file), "parent text\n", "file holds the parent's text exactly once");
    is(slurp($outfile), "parent stdout\n", "STDOUT's buffer written once, by the parent");
    $p->_free;
};

subtest 'inside the worker the slot holds what it held before the launch' => sub {
    my $p = Brindlecove::ProcessPool->new(3);
    $p->start_long(0, echo_worker());
    $p->inc(2) for 1 .. 2;
    my @fields = qw(pid used rfd wfd efd);
    my $report = sub {
        $| = 1;
        for my $i (0 .. 2) { print join(',', $i, map { $p->$_($i) } @fields), "\n" }
        print "slots:", join(',', $p->slots), "\n";
        $! = 0;
    };
    my @before = map { my $i = $_; join(',', $i, map { $p->$_($i) } @fields) } 0 .. 2;
    with_stderr_to("$dir/inside.err", sub {
        $p->start_long(1, $report);
        $p->start_long(2, $report);
    });
    for my $i (1, 2) {
        my ($data, $eof) = read_to_eof($p->rfd($i), 10);
        ok($eof, "worker $i finished");
        my $slots = $i == 1 ? '0' : '0,1';
        is($data, join("\n", $before[0],
                       $i == 1 ? ($before[1], $before[2])
                               : ("1," . join(',', map { $p->$_(1) } @fields), $before[2]),
                       "slots:$slots", ''),
           "worker $i sees the table as it was at its fork");
    }
    is($p->used(2), 0, 'in the parent the launch reset used');
    is_deeply([$p->stop(2)], [1, 0], 'stop 2');
    is_deeply([$p->stop(1)], [1, 0], 'stop 1');
    is_deeply([$p->stop(0)], [0, 2], 'stop 0');
    $p->_free;
};

done_testing;
