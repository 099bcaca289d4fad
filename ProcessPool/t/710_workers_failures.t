# Workers that end: the service replaces them, retries what they held one
# request at a time, charges only the request that ended a worker, and
# fails it once it has ended more than `retries` workers.  Time limits and
# recycling after max_requests.
use strict;
use warnings;
use Test::More;
use lib 't/lib';
use ServiceTest qw(children fds);
use POSIX ();
use Time::HiRes qw(time);
use Brindlecove::ProcessPool::Workers;

alarm 240;
my $W = 'Brindlecove::ProcessPool::Workers';
my $fds0 = fds();

# Runs 1..40 through a service whose handler ends its worker on request 17;
# returns the replies by request and the service's stats.
sub run_with_killer {
    my ($kill, %opt) = @_;
    my $w = $W->new(workers => 2, %opt, handler => sub {
        $kill->() if $_[0] == 17;
        "r$_[0]";
    });
    my %res;
    for my $i (1 .. 40) { $w->submit($i, sub { $res{$i} = [@_] }) }
    $w->wait;
    my $live = () = $w->pids;
    my $stats = $w->stats;
    my @again = $w->map(1 .. 3);
    $w->shutdown;
    return (\%res, $stats, $live, \@again);
}

for my $case (
    [ '_exit(3)',    sub { POSIX::_exit(3) },  qr/exited with status 3/ ],
    [ 'SIGKILL',     sub { kill 'KILL', $$ },  qr/was killed by signal 9 \(SIGKILL\)/ ],
    [ 'exit(5)',     sub { exit 5 },           qr/exited with status 5/ ],
    [ 'SIGSEGV',     sub { kill 'SEGV', $$ },  qr/was killed by signal 11 \(SIGSEGV\)/ ],
) {
    my ($name, $kill, $how) = @$case;
    for my $retries (0, 1, 2) {
        my ($res, $stats, $live, $again) = run_with_killer($kill, retries => $retries);
        my @wrong = grep { $_ != 17 && !($res->{$_} && defined $res->{$_}[0] && $res->{$_}[0] eq "r$_") } 1 .. 40;
        is("@wrong", '', "$name, retries $retries: every other request answered");
        ok(!defined $res->{17}[0], "$name, retries $retries: the killer fails");
        # Found in a batch of several, the killer ends one worker more
        # there before it ends one alone; with retries 0 that is 2.
        my $times = $stats->{abnormal_exits};
        ok($times == $retries + 1 || ($retries == 0 && $times == 2),
           "$name, retries $retries: it ended retries + 1 workers ($times)");
        like($res->{17}[1], qr/^request ended its worker \Q@{[ $times > 1 ? "$times times" : 'once' ]}\E \(pid \d+ $how\)$/,
             "$name, retries $retries: error says how often and how the worker ended");
        is($live, 2, "$name, retries $retries: the service keeps its two workers");
        is_deeply($again, [qw(r1 r2 r3)], "$name, retries $retries: and goes on answering");
    }
}

# A request that ends its worker only the first time is answered on retry;
# map croaks naming the index of a request that keeps killing.
{
    my $mark = "/tmp/710_once.$$";
    unlink $mark;
    my $w = $W->new(workers => 2, handler => sub {
        if ($_[0] eq 'once' && !-e $mark) { open my $f, '>', $mark; close $f; POSIX::_exit(1) }
        POSIX::_exit(2) if $_[0] eq 'always';
        "<$_[0]>";
    });
    is_deeply([ $w->map('a', 'once', 'b') ], ['<a>', '<once>', '<b>'], 'a request that killed once is answered on retry');
    unlink $mark;
    eval { $w->map('a', 'b', 'always', 'c') };
    like($@, qr/^request 2 failed: request ended its worker 2 times \(pid \d+ exited with status 2\) at /,
         'map names the killer\'s index and how its worker ended');
    $w->shutdown;
}

# Time limit: the slow request fails with a message saying so, its worker
# is replaced, the others are answered.  Also when the handler ignores the
# alarm the worker's timer raises.
for my $case (
    [ 'sleeping handler',     sub { sleep 30 } ],
    [ 'handler ignoring ALRM', sub { $SIG{ALRM} = 'IGNORE'; my $t = time + 30; 1 while time < $t } ],
) {
    my ($name, $slow) = @$case;
    my $w = $W->new(workers => 2, timeout => 0.5, handler => sub {
        $slow->() if $_[0] eq 'slow';
        "<$_[0]>";
    });
    my $t0 = time;
    my %res;
    for my $r (qw(a b slow c d)) { $w->submit($r, sub { $res{$r} = [@_] }) }
    $w->wait;
    my $took = time - $t0;
    like($res{slow}[1], qr/^timed out after 0\.5 seconds/, "$name: the slow request times out");
    is(join(',', map { $res{$_}[0] } qw(a b c d)), '<a>,<b>,<c>,<d>', "$name: the others are answered");
    cmp_ok($took, '<', 10, "$name: within a bounded time");
    is(scalar(() = $w->pids), 2, "$name: its worker was replaced");
    $w->shutdown;
}

# Recycling: no worker answers more than max_requests; the pool's use
# counter is what counts.
{
    my $w = $W->new(workers => 2, max_requests => 7, handler => sub { $$ });
    my @pids = $w->map(1 .. 100);
    my %per;
    $per{$_}++ for @pids;
    my @over = grep { $per{$_} > 7 } keys %per;
    is("@over", '', 'map: no worker answered more than max_requests');
    cmp_ok(scalar keys %per, '>=', 15, 'map: workers were replaced as they reached it');
    is($w->stats->{abnormal_exits}, 0, 'recycling is no abnormal exit');

    my $in = join '', map { "$_\n" } 1 .. 500;
    open my $ifh, '<', \$in or die;
    my $out = '';
    open my $ofh, '>', \$out or die;
    $w->map_lines($ifh, $ofh);
    close $ofh;
    %per = ();
    $per{$_}++ for split /\n/, $out;
    @over = grep { $per{$_} > 7 } keys %per;
    is("@over", '', 'map_lines: no worker mapped more than max_requests records');
    is(scalar(() = $out =~ /\n/g), 500, 'map_lines: every record answered');
    $w->shutdown;
}

# init that fails: the service is broken, says why, and still shuts down.
for my $case (
    [ 'dies',  sub { die "no database\n" },  qr/init died in a worker: no database/ ],
    [ 'exits', sub { POSIX::_exit(9) },        qr/a worker exited with status 9 during init/ ],
) {
    my ($name, $init, $re) = @$case;
    my $w = $W->new(workers => 2, init => $init, handler => sub { 1 });
    eval { $w->map(1 .. 10) };
    like($@, $re, "init $name: map croaks with the reason");
    eval { $w->map(1) };
    like($@, $re, "init $name: so does every later call");
    $w->shutdown;
}

is(join(',', children()), '', 'no child left');
is(fds(), $fds0, 'no descriptor left');
done_testing;
