# The prologue every entry point shares: the argument-count test with its
# usage message, and the pool-object test of the methods.

use strict;
use warnings;
use Test::More;
use POSIX ();

use Brindlecove::ProcessPool;

my $CLASS = 'Brindlecove::ProcessPool';
my $FILE  = __FILE__;

{ package My::Derived; our @ISA = ('Brindlecove::ProcessPool'); }
{ package Unrelated; sub new { bless {}, shift } }

sub fn { no strict 'refs'; \&{"${CLASS}::$_[0]"} }

# An exception text as the module raises it: no newline of its own, so the
# interpreter's location suffix (this file, the calling line) follows.
sub croaked_with {
    my ($msg) = @_;
    return qr/\A\Q$msg\E at \Q$FILE\E line \d+\.\n\z/;
}

# Each call bounded: a prologue that let a call through to a worker or a
# read would otherwise be free to block.
sub call {
    my ($code, @args) = @_;
    my @warnings;
    local $SIG{__WARN__} = sub { push @warnings, $_[0] };
    local $SIG{ALRM} = sub { die "timed out\n" };
    alarm 10;
    my $ok = eval { $code->(@args); 1 };
    alarm 0;
    return ($ok ? undef : $@, \@warnings);
}

# ---------------------------------------------------------------------------
# Argument counts.  The arguments are strings that are not numbers and not
# pool objects: a count test that came after the conversion or the pool
# test would show as a warning or as a different message.

my $P = "Usage: $CLASS";
# [ name, refused counts, usage message ]
my @usage = (
    [ new        => [0, 1, 3],    "$P\::new(ign, max)" ],
    [ _free      => [0, 2],       "$P\::_free(self)" ],
    [ slots      => [0, 2],       "$P\::slots(self)" ],
    [ stop       => [0, 1, 3],    "$P\::stop(self, i)" ],
    [ start_long => [0, 1, 2, 4], "$P\::start_long(self, i, func)" ],
    [ inc        => [0, 1, 3],    "$P\::inc(self, i)" ],
    [ wfd        => [0, 1, 3],    'Usage: wfd(self, i)' ],
    [ used       => [0, 1, 3],    'Usage: used(self, i)' ],
    [ pid        => [0, 1, 3],    'Usage: pid(self, i)' ],
    [ efd        => [0, 1, 3],    'Usage: efd(self, i)' ],
    [ rfd        => [0, 1, 3],    'Usage: rfd(self, i)' ],
    [ rfds       => [0, 2],       'Usage: rfds(self)' ],
    [ efds       => [0, 2],       'Usage: efds(self)' ],
    [ wfds       => [0, 2],       'Usage: wfds(self)' ],
    [ writefd    => [0, 1, 3],    "$P\::writefd(fd, str)" ],
    [ readfd     => [0, 1, 2, 5], "$P\::readfd(fd, str, toread, offset=0)" ],
    [ encode_kv  => [1, 3, 5],    'Usage: encode_kv(key => value, key => value, ...)' ],
    [ decode_kv  => [0, 2],       "$P\::decode_kv(msg)" ],
);

for my $row (@usage) {
    my ($name, $counts, $msg) = @$row;
    for my $n (@$counts) {
        my ($err, $warnings) = call(fn($name), ('x') x $n);
        like($err, croaked_with($msg), "$name with $n argument(s)");
        is_deeply($warnings, [], "... and nothing converted") if $n;
    }
}

# An alias names the name it was registered under, whatever glob or
# package the caller reached it through.
{
    no warnings 'once';
    *main::my_pid       = fn('pid');
    *Other::listing     = fn('efds');
    my ($err) = call(\&main::my_pid);
    like($err, croaked_with('Usage: pid(self, i)'), 'pid through another glob names pid');
    ($err) = call(\&Other::listing, 1, 2);
    like($err, croaked_with('Usage: efds(self)'), 'efds through another package names efds');
}

# The counts that pass.  readfd with 3 or 4 arguments reaches its read (a
# closed descriptor: undef); encode_kv with none makes the empty message.
{
    my $buf = '';
    my ($err, $warnings) = call(sub { is(fn('readfd')->(-1, $buf, 1), undef, 'readfd with 3 arguments reads') });
    is($err, undef, '... no usage error');
    ($err) = call(sub { is(fn('readfd')->(-1, $buf, 1, 0), undef, 'readfd with 4 arguments reads') });
    is($err, undef, '... no usage error');
    ($err) = call(sub { is(fn('encode_kv')->(), '', 'encode_kv with no arguments gives ""') });
    is($err, undef, '... no usage error');
    ($err) = call(sub { ok(length fn('encode_kv')->(k => 'v'), 'encode_kv with 2 arguments encodes') });
    is($err, undef, '... no usage error');
}

# A usage error does nothing else: the pool it was given is untouched.
{
    my $pool = $CLASS->new(2);
    my ($err) = call(fn('_free'), $pool, 1);
    like($err, croaked_with("$P\::_free(self)"), '_free with an extra argument refused');
    ($err) = call(fn('inc'), $pool, 0, 1);
    like($err, croaked_with("$P\::inc(self, i)"), 'inc with an extra argument refused');
    is($pool->used(0), 0, '... the counter is not raised');
    is($pool->slots, 0, '... the pool is still usable');
    $pool->_free;
}

# ---------------------------------------------------------------------------
# The pool object.  Every method, given each kind of thing that is not a
# live pool object, refuses it before touching anything.

# [ method, arguments after self ]
my @methods = (
    [ _free      => [] ],
    [ slots      => [] ],
    [ stop       => [0] ],
    [ start_long => [0, sub { POSIX::_exit(0) }] ],
    [ inc        => [0] ],
    [ wfd        => [0] ],
    [ used       => [0] ],
    [ pid        => [0] ],
    [ efd        => [0] ],
    [ rfd        => [0] ],
    [ rfds       => [] ],
    [ efds       => [] ],
    [ wfds       => [] ],
);

my $real = $CLASS->new(1);
my $addr = $$real;
ok($addr, 'a pool object refers to a non-zero integer');

my $NOT_POOL = "self is not of type $CLASS";
# [ what, value given as self ]
my @not_pools = (
    [ 'undef',                                   sub { undef } ],
    [ 'a number',                                sub { 42 } ],
    [ "a live pool's address as a number",       sub { $addr } ],
    [ 'the class name',                          sub { $CLASS } ],
    [ 'a derived class name',                    sub { 'My::Derived' } ],
    [ 'an unblessed hash reference',             sub { {} } ],
    [ "an unblessed reference to a live pool's address", sub { \(my $n = $addr) } ],
    [ 'an object of an unrelated class',         sub { Unrelated->new } ],
    [ 'a hand-blessed array reference',          sub { bless [], $CLASS } ],
    [ 'a hand-blessed scalar holding a number',  sub { bless \(my $n = 42), $CLASS } ],
    [ "a hand-blessed scalar holding a live pool's address",
                                                 sub { bless \(my $n = $addr), $CLASS } ],
    [ "the same, blessed into a derived class",  sub { bless \(my $n = $addr), 'My::Derived' } ],
    [ 'a reference to a pool object',            sub { \$real } ],
);

for my $case (@not_pools) {
    my ($what, $make) = @$case;
    for my $m (@methods) {
        my ($name, $rest) = @$m;
        my ($err) = call(fn($name), $make->(), @$rest);
        like($err, croaked_with($NOT_POOL), "$name refuses $what");
    }
}

# A pool object whose integer was changed by hand no longer names its
# record; put back, it does again.
{
    $$real = $addr + 8;
    my ($err) = call(fn('pid'), $real, 0);
    like($err, croaked_with($NOT_POOL), 'a pool object with a changed address is refused');
    $$real = $addr;
    my $pid;
    ($err) = call(sub { $pid = $real->pid(0) });
    is($err, undef, '... and accepted again once restored');
    is($pid, 0, '... with its slot as it was');
}

# The integer arguments are converted before the pool object is looked at.
{
    my ($err, $warnings) = call(fn('pid'), {}, 'x');
    like($err, croaked_with($NOT_POOL), 'pid({}, "x") refuses the hash');
    like("@$warnings", qr/isn't numeric/, '... after converting "x"');
}

is_deeply([ map { $real->$_(0) } qw(pid used rfd wfd efd) ], [0, 0, 0, 0, 0],
          'the live pool was not touched by any refused call');
is(waitpid(-1, POSIX::WNOHANG()), -1, 'no worker was started by any refused call');

# ---------------------------------------------------------------------------
# A real pool object reblessed into a derived class is still the pool;
# methods reach it through @ISA.

{
    my $pool = $CLASS->new(2);
    bless $pool, 'My::Derived';
    is(ref $pool, 'My::Derived', 'reblessed into the derived class');
    my ($err) = call(sub {
        is($pool->slots, 0, 'slots');
        $pool->inc(1) for 1 .. 3;
        is($pool->used(1), 3, 'inc and used');
        is_deeply([ map { $pool->$_(0) } qw(pid rfd wfd efd) ], [0, 0, 0, 0], 'pid rfd wfd efd');
        is_deeply([ $pool->rfds, $pool->wfds, $pool->efds ], [], 'rfds wfds efds');
        is_deeply([ $pool->stop(0) ], [], 'stop of a free slot');
        $pool->start_long(0, sub { POSIX::_exit(0) });
        ok($pool->pid(0) > 0, 'start_long');
        is(scalar(my @st = $pool->stop(0)), 2, 'stop of the worker');
        is($pool->pid(0), 0, '... frees the slot');
        $pool->_free;
    });
    is($err, undef, 'every method accepts a derived-class pool object');
}

# ---------------------------------------------------------------------------
# Released pool objects: _free marks the object, and every method (a
# second _free too) refuses it, through any copy of the reference.

my $RELEASED = "self is a released $CLASS (or one made by another thread)";
{
    my $pool = $CLASS->new(3);
    my $copy = $pool;
    my $derived = bless $CLASS->new(1), 'My::Derived';
    my ($err) = call(fn('_free'), $pool);
    is($err, undef, '_free');
    is($$pool, 0, '... sets the object to 0');
    ($err) = call(fn('_free'), $derived);
    is($err, undef, '_free of a derived-class object');

    for my $case ([ 'a released pool', $pool ], [ 'a copy of a released pool', $copy ],
                  [ 'a released derived-class pool', $derived ]) {
        my ($what, $self) = @$case;
        for my $m (@methods) {
            my ($name, $rest) = @$m;
            my ($err) = call(fn($name), $self, @$rest);
            like($err, croaked_with($RELEASED), "$name refuses $what");
        }
    }
}
is(waitpid(-1, POSIX::WNOHANG()), -1, 'no worker left behind');

$real->_free;
done_testing;
