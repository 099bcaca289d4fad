# Ending the worker service: shutdown is bounded even against workers that
# ignore signals; DESTROY, END and abort leave nothing behind; forks of the
# parent and the workers themselves never stop the parent's workers; the
# parent's signal dispositions neither leak into the workers nor get lost.
use strict;
use warnings;
use Test::More;
use lib 't/lib';
use ServiceTest qw(children fds);
use ChildPerl qw(run_perl);
use POSIX ();
use Time::HiRes qw(time sleep);
use Brindlecove::ProcessPool::Workers;

alarm 240;
my $W = 'Brindlecove::ProcessPool::Workers';
my $fds0 = fds();

sub alive { my @p = @_; return grep { kill 0, $_ } @p }

# Workers that ignore SIGINT and SIGTERM, idle or stuck in a request.
for my $case (
    [ 'idle',  0 ],
    [ 'stuck', 1 ],
) {
    my ($name, $stuck) = @$case;
    my $w = $W->new(workers => 2,
        init    => sub { $SIG{INT} = $SIG{TERM} = 'IGNORE' },
        handler => sub { 1 while 1 });
    my $err;
    $w->submit('x', sub { $err = $_[1] }) if $stuck;
    my @pids = $w->pids;
    sleep 0.2;
    my $t0 = time;
    $w->shutdown(timeout => 1);
    my $took = time - $t0;
    cmp_ok($took, '<', $stuck ? 4 : 1, "$name workers ignoring INT and TERM: shutdown within bounds (${\sprintf '%.1f', $took}s)");
    is(scalar alive(@pids), 0, "$name: every worker is gone");
    is($err, 'the service was shut down before answering', "$name: the pending request is failed, not lost") if $stuck;
    eval { $w->map(1) };
    like($@, qr/^map: the service is shut down/, "$name: the service refuses work afterwards");
    ok(eval { $w->shutdown; 1 }, "$name: a second shutdown does nothing");
}

# The parent's ignored or handled signals are reset in the workers, and the
# parent's own dispositions are in force again when a call returns.
{
    local $SIG{INT}  = 'IGNORE';
    local $SIG{TERM} = 'IGNORE';
    my $mine = sub { };
    local $SIG{PIPE} = $mine;
    my $w = $W->new(workers => 1, handler => sub { join ',', map { $SIG{$_} // 'undef' } qw(INT TERM PIPE) });
    my ($r) = $w->map(1);
    is($r, 'DEFAULT,DEFAULT,DEFAULT', 'workers start with INT, TERM and PIPE at their defaults');
    is($SIG{PIPE}, $mine, 'the caller\'s SIGPIPE handler is back after map');
    $w->submit(1, sub { });
    $w->wait;
    is($SIG{PIPE}, $mine, 'and after submit and wait');
    my @pids = $w->pids;
    $w->shutdown;
    is(scalar alive(@pids), 0, 'shutdown ends workers while the parent ignores INT');
}

# A worker that dies while the parent writes to it (SIGPIPE at its default)
# ends no parent: the requests fail, the parent goes on.
{
    local $SIG{PIPE} = 'DEFAULT';
    my $w = $W->new(workers => 1, retries => 0, handler => sub { POSIX::_exit(1) });
    my @r = eval { $w->map(('z' x 1_000_000) x 20) };
    like($@, qr/^request \d+ failed/, 'a worker dying under large writes fails requests, the parent lives');
    $w->shutdown;
}

# DESTROY ends the workers of a service that goes out of scope.
{
    my @pids;
    {
        my $w = $W->new(workers => 2, handler => sub { 1 });
        @pids = $w->pids;
        $w->map(1 .. 10);
    }
    is(scalar alive(@pids), 0, 'DESTROY: the workers are gone');
}

# A fork of the parent: its exit (DESTROY, END) and its shutdown leave the
# parent's workers running; it cannot use the service.
{
    my $w = $W->new(workers => 2, handler => sub { "r$_[0]" });
    my @pids = $w->pids;
    my $kid = fork // die;
    if (!$kid) {
        my $ok = !eval { $w->map(1); 1 } && $@ =~ /belongs to process/;
        $w->shutdown;
        undef $w;
        exit($ok ? 0 : 1);    # runs END blocks and destructors
    }
    waitpid $kid, 0;
    is($?, 0, 'fork: the service refuses to work in a fork of its parent');
    is(scalar alive(@pids), 2, 'fork: its exit and shutdown left the workers running');
    is_deeply([ $w->map(1, 2) ], ['r1', 'r2'], 'fork: the parent\'s service goes on');

    # nor can a worker of another service, which is a fork of the parent too
    my $w2 = $W->new(workers => 1, handler => sub { $w->map(1) });
    my @r = eval { $w2->map(1) };
    like($@, qr/^request 0 failed: map: the service belongs to process $$/, 'a worker cannot use the parent\'s service');
    $w2->shutdown;
    $w->shutdown;
}

# Callbacks: submit works inside them, waiting does not.
{
    my $w = $W->new(workers => 2, handler => sub { $_[0] + 1 });
    my @got;
    my $again;
    $again = sub { push @got, $_[0]; $w->submit($_[0], $again) if $_[0] < 6 };
    $w->submit(1, $again);
    $w->wait;
    undef $again;
    is_deeply(\@got, [2 .. 6], 'submit from a callback');
    # the callback's error comes out of whichever call ran it
    eval { $w->submit(1, sub { $w->wait }); $w->wait };
    like($@, qr/^wait can't be called from inside a callback/, 'wait from a callback is refused');
    eval { $w->submit(1, sub { die "callback failed\n" }); $w->wait };
    is($@, "callback failed\n", 'a dying callback ends the call with its error');
    is_deeply([ $w->map(7) ], [8], 'the service goes on');
    $w->shutdown;
}

# abort: everything ends at once.
{
    my $w = $W->new(workers => 2, handler => sub { sleep 60 });
    $w->submit(1, sub { });
    my @pids = $w->pids;
    my $t0 = time;
    $w->abort;
    cmp_ok(time - $t0, '<', 2, 'abort is immediate');
    is(scalar alive(@pids), 0, 'abort: every worker is gone');
    eval { $w->wait };
    like($@, qr/shut down/, 'abort: the service is shut down');
}

is(fds(), $fds0, 'no descriptor left');

# abort from a signal handler that interrupts map_lines: the call ends
# with an error instead of waiting for ever.
{
    my $w = $W->new(workers => 2, handler => sub { sleep 60 });
    my @pids = $w->pids;
    pipe(my $r, my $wr) or die;
    syswrite $wr, "a\nb\n";
    local $SIG{ALRM} = sub { $w->abort };
    alarm 1;
    my $t0 = time;
    eval { $w->map_lines($r, \*STDOUT) };
    alarm 240;
    like($@, qr/^the service was shut down/, 'abort in a signal handler: map_lines croaks');
    cmp_ok(time - $t0, '<', 5, 'abort in a signal handler: at once');
    is(scalar alive(@pids), 0, 'abort in a signal handler: the workers are gone');
}

# A program that ends without shutdown (normally, by die, by exit), or that
# is killed: its workers go with it.
for my $case (
    [ 'returns', '' ],
    [ 'dies',    'die "gone\n";' ],
    [ 'exits',   'exit 3;' ],
    [ 'is killed by SIGKILL', 'kill "KILL", $$;' ],
) {
    my ($name, $end) = @$case;
    my $r = run_perl(code => <<"PERL");
use strict; use warnings;
use Brindlecove::ProcessPool::Workers;
our \$w = Brindlecove::ProcessPool::Workers->new(workers => 2, handler => sub { 1 });
\$w->map(1 .. 4);
print join(' ', \$w->pids), "\\n";
close STDOUT;
$end
PERL
    my @pids = split ' ', $r->{out};
    is(scalar @pids, 2, "program that $name: it had two workers");
    my $deadline = time + 5;
    sleep 0.05 while alive(@pids) && time < $deadline;
    is(scalar alive(@pids), 0, "program that $name: its workers are gone");
}

is(join(',', children()), '', 'no child left');
done_testing;
