# A signal with a Perl handler interrupting the one system call of
# readfd, writefd or the wait of stop: readfd and writefd give undef with
# $! == EINTR (perl installs its handlers without SA_RESTART), stop gives
# (255, 127) and frees the slot.  Nothing is left open.
use strict;
use warnings;
use Test::More;
use Errno qw(EINTR EAGAIN);
use Fcntl qw(F_GETFL F_SETFL O_NONBLOCK);
use POSIX ();
use Time::HiRes qw(ualarm);
use Brindlecove::ProcessPool;

sub open_fds { opendir my $d, '/proc/self/fd' or die "$!"; scalar grep { /^\d+$/ } readdir $d }

my $hits = 0;
local $SIG{USR1} = sub { $hits++ };
# The interruption comes from a timer of our own; the ALRM handler is the
# Perl handler under test, so the guard against a hang is a second,
# independent one: a helper process that kills us if we stall.
local $SIG{ALRM} = sub { $hits++ };
my $guard = fork // die "fork: $!";
if ($guard == 0) { sleep 60; kill 'KILL', getppid; POSIX::_exit(0) }

my $fds0 = open_fds();
my $pool = Brindlecove::ProcessPool->new(2);

# A worker that reads its input and never answers.
$pool->start_long(0, sub { 1 while sysread STDIN, my $b, 65536; POSIX::_exit(0) });
my ($wfd, $rfd) = ($pool->wfd(0), $pool->rfd(0));

subtest 'readfd interrupted' => sub {
    my $buf = 'keep';
    $hits = 0;
    ualarm(200_000);
    my $n = Brindlecove::ProcessPool::readfd($rfd, $buf, 100);
    my $err = $! + 0;
    ualarm(0);
    is($n, undef, 'undef');
    is($err, EINTR, '$! is EINTR');
    is($buf, 'keep', 'target unchanged');
    is($hits, 1, 'the Perl handler ran');
};

# Fill the input pipe through a non-blocking duplicate (O_NONBLOCK belongs
# to the open file, so it holds for wfd too), then make it blocking again:
# the next write finds the pipe full and moves no byte before the signal.
subtest 'writefd interrupted on a full pipe' => sub {
    # a worker that never reads, so the pipe stays full
    $pool->start_long(1, sub { sleep 60; POSIX::_exit(0) });
    my $w1 = $pool->wfd(1);
    open my $dup, '>&', $w1 or die "dup: $!";
    my $fl = fcntl($dup, F_GETFL, 0) or die "F_GETFL: $!";
    fcntl($dup, F_SETFL, $fl | O_NONBLOCK) or die "F_SETFL: $!";
    my ($filled, $n) = (0);
    $filled += $n while defined($n = Brindlecove::ProcessPool::writefd($w1, 'x' x 4096));
    is($! + 0, EAGAIN, "pipe full after $filled bytes");
    fcntl($dup, F_SETFL, $fl) or die "F_SETFL: $!";
    close $dup;

    $hits = 0;
    ualarm(200_000);
    $n = Brindlecove::ProcessPool::writefd($w1, 'y' x 100);
    my $err = $! + 0;
    ualarm(0);
    is($n, undef, 'undef');
    is($err, EINTR, '$! is EINTR');
    is($hits, 1, 'the Perl handler ran');
    my @st = $pool->stop(1);
    is_deeply(\@st, [0, 2], 'the writer-blocked worker stops on SIGINT');
};
{
    # end of input (0, 0) or SIGINT (0, 2), whichever reaches it first
    my @st = $pool->stop(0);
    ok(@st == 2 && $st[0] == 0 && ($st[1] == 0 || $st[1] == 2), "the reader worker stopped (@st)");
}

# A worker that ignores SIGINT keeps stop waiting; the timer interrupts the
# wait.  The pool forgets the worker (the slot is cleared), but it is still
# running and unreaped: the test ends and reaps it itself.
subtest 'stop interrupted' => sub {
    # the worker says when its disposition is in place
    $pool->start_long(0, sub { $SIG{INT} = 'IGNORE'; syswrite STDOUT, "r"; sleep 60; POSIX::_exit(0) });
    my $pid = $pool->pid(0);
    my $rin = ''; vec($rin, $pool->rfd(0), 1) = 1;
    select(my $rout = $rin, undef, undef, 30) == 1 or die "worker not ready\n";
    $hits = 0;
    ualarm(300_000);
    my @st = $pool->stop(0);
    my $err = $! + 0;
    ualarm(0);
    is_deeply(\@st, [255, 127], '(255, 127)');
    is($err, EINTR, '$! is EINTR');
    is($hits, 1, 'the Perl handler ran');
    is($pool->pid(0), 0, 'slot cleared');
    is(scalar $pool->slots, 0, 'no slot occupied');
    ok(kill(0, $pid), 'the worker still runs');
    kill 'KILL', $pid;
    is(waitpid($pid, 0), $pid, 'reaped by the test');
    is($? & 127, 9, 'it ended by our SIGKILL');
};

$pool->_free;
kill 'KILL', $guard;
waitpid $guard, 0;
is(open_fds(), $fds0, "open descriptors back to $fds0");
is(waitpid(-1, POSIX::WNOHANG()), -1, 'no child left');
done_testing;
