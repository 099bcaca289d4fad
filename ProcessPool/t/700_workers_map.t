# The worker service's request/reply paths: map and submit keep order and
# carry any bytes both ways; init runs once per worker; dying handlers fail
# only their own requests; what a handler does with its standard handles
# never reaches the protocol.
use strict;
use warnings;
use Test::More;
use lib 't/lib';
use ServiceTest qw(children fds);
use Brindlecove::ProcessPool::Workers;

alarm 120;
my $W = 'Brindlecove::ProcessPool::Workers';
my $fds0 = fds();

# Random byte strings: empty, NUL, newlines, high bytes, frame-like headers,
# and a few large ones.
srand 7;
my @bytes = map { chr } 0 .. 255;
my @req = ('', "\0", "\n", "\r\n\n", "R\0\0\0\1\0\0\0\5", "\xff" x 9, "x" x 70_000,
           join('', map { $bytes[rand 256] } 1 .. 2_000_000));
push @req, join('', map { $bytes[rand 256] } 1 .. rand 40) for 1 .. 3000;

{
    my $w = $W->new(workers => 3, handler => sub { scalar reverse $_[0] });
    my @got = $w->map(@req);
    is(scalar @got, scalar @req, 'map: one reply per request');
    my @bad = grep { $got[$_] ne reverse $req[$_] } 0 .. $#req;
    is("@bad", '', 'map: replies in request order, every byte carried');

    # UTF-8 flagged strings travel as their bytes
    my ($u) = $w->map("\x{263a}");
    is($u, reverse("\xe2\x98\xba"), 'a character string arrives as its UTF-8 bytes');

    my %got;
    my $calls = 0;
    for my $i (0 .. $#req) {
        $w->submit($req[$i], sub { $calls++; $got{$i} = $_[0] });
    }
    $w->wait;
    is($calls, scalar @req, 'submit: every callback once');
    @bad = grep { $got{$_} ne reverse $req[$_] } 0 .. $#req;
    is("@bad", '', 'submit: each reply to its own callback');
    is($w->pending, 0, 'nothing pending after wait');
    is(scalar(() = $w->map()), 0, 'map of nothing is the empty list');
    $w->shutdown;
}

# undef both ways, and a reply that is a number or a reference's text
{
    my $w = $W->new(workers => 2, handler => sub {
        my ($r) = @_;
        return defined $r ? ($r eq 'u' ? undef : $r eq 'n' ? 42 : "<$r>") : 'was undef';
    });
    my @got = $w->map('a', 'u', undef, 'n', '');
    is_deeply(\@got, ['<a>', undef, 'was undef', 42, '<>'], 'undef and numbers both ways');
    my @cb;
    $w->submit('u', sub { push @cb, [@_] });
    $w->wait;
    is_deeply(\@cb, [[undef, undef]], 'submit: an undef reply is (undef, undef)');
    $w->shutdown;
}

# init runs once in each worker, before its first request
{
    my $inits = 0;
    my $w = $W->new(workers => 3,
        init    => sub { $inits++ },
        handler => sub { select undef, undef, undef, 0.002; "$$:$inits" });
    my @got = $w->map(1 .. 300);
    my %by_pid;
    for (@got) { my ($pid, $n) = split /:/; $by_pid{$pid}{$n} = 1 }
    is_deeply([ sort map { join ',', keys %$_ } values %by_pid ], [ ('1') x keys %by_pid ],
              'init ran exactly once in each worker');
    is(scalar keys %by_pid, 3, 'the requests were spread over all three workers');
    $w->shutdown;
}

# Dying handlers: only their requests fail; map croaks after all are in.
{
    my $w = $W->new(workers => 2, handler => sub {
        die "bad $_[0]\n" if $_[0] % 7 == 3;
        die { code => $_[0] } if $_[0] == 5;
        $_[0] * 2;
    });
    my @got = eval { $w->map(0 .. 20) };
    like($@, qr/^request 3 failed \(and 3 more\): bad 3 at /, 'map croaks naming the first failed index and its message');
    my %res;
    for my $i (0 .. 20) { $w->submit($i, sub { $res{$i} = [@_] }) }
    $w->wait;
    is_deeply([ map { $res{$_}[0] } 0 .. 4 ], [0, 2, 4, undef, 8], 'submit: failed request gives undef');
    is($res{10}[1], "bad 10\n", 'submit: the error is the handler\'s message');
    like($res{5}[1], qr/^HASH\(/, 'an exception object arrives as its text');
    ok(!defined $res{6}[1], 'answered requests carry no error');
    is_deeply([ $w->map(1, 2) ], [2, 4], 'the service goes on after failures');
    is($w->stats->{abnormal_exits}, 0, 'dying handlers end no worker');
    $w->shutdown;
}

# A handler that prints, warns, reads STDIN, closes STDOUT and writes to
# descriptor 1: the replies are unharmed, prints go to standard error.
{
    my $err = "/tmp/700_workers_err.$$";
    open(my $saved, '>&', \*STDERR) or die;
    open(STDERR, '>', $err) or die;
    my $w = $W->new(workers => 2, handler => sub {
        my ($r) = @_;
        print "printed $r\n";
        printf STDOUT "%s\n", "R\0\0\0\1\0\0\0\0";    # looks like a frame
        warn "warned $r\n";
        my $line = <STDIN>;
        syswrite(STDOUT, "raw $r\n");
        return defined $line ? "stdin gave data" : "ok $r";
    });
    my @got = $w->map(1 .. 50);
    $w->shutdown;
    open(STDERR, '>&', $saved) or die;
    is_deeply(\@got, [ map { "ok $_" } 1 .. 50 ], 'replies unharmed by prints; STDIN is empty');
    open(my $fh, '<', $err) or die;
    my $text = do { local $/; <$fh> };
    unlink $err;
    is(scalar(() = $text =~ /^printed \d+$/mg), 50, 'prints to STDOUT reach standard error');
    is(scalar(() = $text =~ /^warned \d+$/mg), 50, 'warnings reach standard error');
    is(scalar(() = $text =~ /^raw \d+$/mg), 50, 'raw writes to STDOUT reach standard error');
}

# Arguments
for my $case (
    [ [],                                 qr/^handler must be a code reference/ ],
    [ [handler => sub {}, workers => 0],  qr/^workers must be a positive integer/ ],
    [ [handler => sub {}, retries => -1], qr/^retries must be a non-negative number/ ],
    [ [handler => sub {}, bogus => 1],    qr/^unknown option bogus/ ],
    [ [handler => sub {}, init => 'x'],   qr/^init must be a code reference/ ],
) {
    eval { $W->new(@{ $case->[0] }) };
    like($@, $case->[1], "new refuses: $case->[1]");
}

is(join(',', children()), '', 'no child left');
is(fds(), $fds0, 'no descriptor left');
done_testing;
