# The host is a threaded perl.  Four threads at once, each with a pool of
# its own, launch workers, talk to them and stop them: every request gets
# its answer and every worker is reaped.  A pool made before a thread was
# created is refused inside the thread (its clone carries no record) and
# still works, and is freed, in the thread that made it.
use strict;
use warnings;
use Config;
BEGIN {
    unless ($Config{useithreads}) { print "1..0 # SKIP perl without ithreads\n"; exit 0 }
}
use threads;
use threads::shared;
use Test::More;
use POSIX ();
use Brindlecove::ProcessPool;

my $rounds = $ENV{PROCPOOL_THREAD_ROUNDS} || 30;
sub open_fds { opendir my $d, '/proc/self/fd' or die "$!"; scalar grep { /^\d+$/ } readdir $d }

my $echo = sub {
    while (1) {
        my $n = sysread(STDIN, my $buf, 4096);
        POSIX::_exit(0) unless $n;
        syswrite(STDOUT, $buf);
    }
};

# Reads one line from fd within 10 s (a bounded select, never a hang).
sub read_line {
    my ($fd) = @_;
    my $got = '';
    while ($got !~ /\n/) {
        my $rin = ''; vec($rin, $fd, 1) = 1;
        select(my $rout = $rin, undef, undef, 10) > 0 or return "timeout:$got";
        my $n = Brindlecove::ProcessPool::readfd($fd, $got, 256, length $got);
        return "eof:$got" unless $n;
    }
    return $got;
}

my $early = Brindlecove::ProcessPool->new(2);
$early->start_long(0, $echo);
my $fds0 = open_fds();

# The threads start their launches together, once the main thread has
# made all four.
#
# Under the sanitizer build the rounds of the four threads take turns:
# that runtime's allocator (unlike glibc's) takes no lock around fork, so
# a fork while another thread is inside it leaves the child's allocator
# locked for good (seen as a worker stuck in the allocator's mutex).  The
# module's code still runs in four threads with four pools; only the
# overlap of one thread's fork with another's allocation is left out there.
my $SANITIZED = ($ENV{LD_PRELOAD} // '') =~ /libasan/;
my $turn :shared;
my $ready :shared = 0;

my $work = sub {
    my ($t) = @_;
    { lock $ready; cond_wait($ready) until $ready == 4 }
    my %r = (answered => 0, wrong => 0, bad_stop => 0, croaks => 0);
    my $pool = Brindlecove::ProcessPool->new(3);
    for my $round (1 .. $rounds) {
        lock $turn if $SANITIZED;
        for my $i (0 .. 2) {
            eval { $pool->start_long($i, $echo); 1 } or do { $r{croaks}++; next };
        }
        for my $i (0 .. 2) {
            next unless $pool->pid($i);
            my $line = "t$t r$round s$i\n";
            Brindlecove::ProcessPool::writefd($pool->wfd($i), $line);
            my $got = read_line($pool->rfd($i));
            if ($got eq $line) { $r{answered}++ } else { $r{wrong}++; push @{ $r{what} }, "slot $i round $round: got '$got'" }
        }
        for my $i (0 .. 2) {
            next unless $pool->pid($i);
            my @st = $pool->stop($i);
            $r{bad_stop}++ unless @st == 2 && $st[0] == 0 && ($st[1] == 2 || $st[1] == 0);
        }
    }
    $r{left} = scalar $pool->slots;
    $pool->_free;

    # the pool of the main thread, as cloned into this one
    for my $call (sub { $early->pid(0) }, sub { $early->stop(0) }, sub { $early->_free }) {
        eval { $call->(); 1 } and next;
        $r{refused}++ if $@ =~ /^self is a released Brindlecove::ProcessPool \(or one made by another thread\)/;
    }
    return \%r;
};

local $SIG{ALRM} = sub { die "timed out\n" };
alarm 180;
my @threads = map { threads->create({ context => 'scalar' }, $work, $_) } 1 .. 4;
{ lock $ready; $ready = 4; cond_broadcast($ready) }
my @results = map { $_->join } @threads;
alarm 0;

for my $t (1 .. 4) {
    my $r = $results[$t - 1];
    ok($r, "thread $t finished") or next;
    is($r->{croaks}, 0, "thread $t: every launch succeeded");
    is($r->{answered}, 3 * $rounds, "thread $t: all " . 3 * $rounds . " requests answered");
    is($r->{wrong}, 0, "thread $t: no wrong or missing answer") or diag(join "\n", @{ $r->{what} || [] });
    is($r->{bad_stop}, 0, "thread $t: every stop gave (0, 2) or (0, 0)");
    is($r->{left}, 0, "thread $t: no slot left occupied");
    is($r->{refused}, 3, "thread $t: the main thread's pool is refused as made by another thread");
}

# The main thread's pool is untouched by all this.
my $line = "still here\n";
Brindlecove::ProcessPool::writefd($early->wfd(0), $line);
is(read_line($early->rfd(0)), $line, "the main thread's worker still answers");
my @st = $early->stop(0);
ok(@st == 2 && $st[0] == 0, "and stops (@st)");
is(eval { $early->_free; 1 }, 1, '_free in the main thread works') or diag($@);
is(open_fds(), $fds0 - 3, 'every descriptor closed: the threads left none, the stop closed its three');
is(waitpid(-1, POSIX::WNOHANG()), -1, 'no child left');
done_testing;
