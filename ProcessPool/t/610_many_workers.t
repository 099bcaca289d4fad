# As many workers at once as the open-file limit allows, with room to
# spare: the test re-runs itself under a limit of 1024 descriptors (soft
# and hard, so the module's raise at load keeps it), fills it to all but
# a spare of 48 with workers (three descriptors each, over 300 of them),
# has every one answer a request, and stops them all.
use strict;
use warnings;
use Test::More;
use POSIX ();
use Brindlecove::ProcessPool;

# PROCPOOL_MANY_LIMIT lowers the limit for slow runs (valgrind: each worker
# is a valgrind process); 700 still leaves room for 200 workers.
my $limit = $ENV{PROCPOOL_MANY_LIMIT} || 1024;
my $spare = 48;
if (!$ENV{PROCPOOL_610_INNER}) {
    $ENV{PROCPOOL_610_INNER} = 1;
    my @inc = map { "-I$_" } @INC;
    exec 'sh', '-c', 'ulimit -n "$1" && shift && exec "$@"', 'sh', $limit, $^X, @inc, $0;
    die "exec: $!";
}

sub fd_list { opendir my $d, '/proc/self/fd' or die "$!"; grep { /^\d+$/ } readdir $d }
my $fds0 = () = fd_list();
my $soft = POSIX::sysconf(POSIX::_SC_OPEN_MAX());
# valgrind keeps a few descriptors at the top of the range for itself
cmp_ok($soft, '<=', $limit, "running under a limit of $soft descriptors");

my $n = int(($soft - $fds0 - $spare) / 3);
cmp_ok($n, '>=', 200, "room for $n workers");

my $echo = sub {
    while (1) {
        my $n = sysread(STDIN, my $buf, 4096);
        POSIX::_exit(0) unless $n;
        syswrite(STDOUT, $buf);
    }
};

local $SIG{ALRM} = sub { die "timed out\n" };
alarm 120;
my $pool = Brindlecove::ProcessPool->new($n);
my $launched = 0;
for my $i (0 .. $n - 1) {
    eval { $pool->start_long($i, $echo); 1 } or do { diag("launch $i: $@"); last };
    $launched++;
}
is($launched, $n, "$n workers running at once");
is(scalar $pool->slots, $n, 'all slots occupied');
my %pids = map { $pool->pid($_) => 1 } 0 .. $n - 1;
is(scalar keys %pids, $n, 'each a process of its own');

# one request to each, the replies collected with a select loop over rfds
my %want;
for my $i (0 .. $n - 1) {
    my $line = "worker $i\n";
    Brindlecove::ProcessPool::writefd($pool->wfd($i), $line);
    $want{$pool->rfd($i)} = $line;
}
my %got = map { $_ => '' } keys %want;
my %open = %want;
while (%open) {
    my $rin = '';
    vec($rin, $_, 1) = 1 for keys %open;
    last if select(my $rout = $rin, undef, undef, 10) <= 0;
    for my $fd (keys %open) {
        next unless vec($rout, $fd, 1);
        my $r = Brindlecove::ProcessPool::readfd($fd, $got{$fd}, 256, length $got{$fd});
        delete $open{$fd} if !$r || length $got{$fd} >= length $want{$fd};
    }
}
my $answered = grep { $got{$_} eq $want{$_} } keys %want;
is($answered, $n, "all $n answered their own request");

my $bad = 0;
for my $i (0 .. $n - 1) {
    my @st = $pool->stop($i);
    $bad++ unless @st == 2 && $st[0] == 0 && ($st[1] == 2 || $st[1] == 0);
}
alarm 0;
is($bad, 0, 'every stop gave (0, 2) or (0, 0)');
is(scalar $pool->slots, 0, 'all slots free');
is(scalar(() = fd_list()), $fds0, "descriptors back to $fds0");
is(waitpid(-1, POSIX::WNOHANG()), -1, 'no child left');
$pool->_free;
done_testing;
