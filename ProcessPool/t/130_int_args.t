# Integer arguments are read as a perl with 32-bit integers reads them:
# -2**31 .. 2**32-1 keep their low 32 bits, anything larger is -1, anything
# smaller -2**31, NaN is 0, fractions are cut toward zero.  A value that
# such a perl cannot hold must never wrap into a small valid index or
# descriptor.
use strict;
use warnings;
use Test::More;
use Errno qw(EBADF);
use POSIX ();
use Brindlecove::ProcessPool;

my $CLASS = 'Brindlecove::ProcessPool';
alarm 60;

{
    package Tied;
    sub TIESCALAR { my ($c, $v) = @_; bless { v => $v, n => 0 }, $c }
    sub FETCH { $_[0]{n}++; $_[0]{v} }
}
{
    package Numish;
    use overload '0+' => sub { ${ $_[0] } }, fallback => 1;
}

# The index as the module read it, from the message of an index that no
# pool of 0 slots can hold.
my $probe = $CLASS->new(0);
sub as_read {
    no warnings qw(numeric uninitialized);
    my $ok = eval { $probe->pid($_[0]); 1 };
    return $ok ? 'accepted' : $@ =~ /^slot index (-?\d+) is out of range/ ? $1 : $@;
}

# [ what, value, as read ]
my @cases = (
    [ '0',                  0,                      0 ],
    [ '-1',                 -1,                     -1 ],
    [ '2**31 - 1',          2**31 - 1,              2147483647 ],
    [ '2**31',              2**31,                  -2147483648 ],
    [ '3000000000',         3000000000,             -1294967296 ],
    [ '2**32 - 1',          2**32 - 1,              -1 ],
    [ '2**32',              2**32,                  -1 ],
    [ '2**32 + 1',          2**32 + 1,              -1 ],
    [ '2**40',              2**40,                  -1 ],
    [ '2**63',              2**63,                  -1 ],
    [ 'the largest UV',     ~0,                     -1 ],
    [ '1e300',              1e300,                  -1 ],
    [ '+inf',               9**9**9,                -1 ],
    [ '-2**31',             -2**31,                 -2147483648 ],
    [ '-2**31 - 1',         -2**31 - 1,             -2147483648 ],
    [ '-2**40',             -2**40,                 -2147483648 ],
    [ '-2**63',             -2**63,                 -2147483648 ],
    [ '-inf',               -9**9**9,               -2147483648 ],
    [ 'NaN',                9**9**9 / 9**9**9,      0 ],
    [ '2.9',                2.9,                    2 ],
    [ '-2.9',               -2.9,                   -2 ],
    [ '4294967295.5',       4294967295.5,           -1 ],
    [ '"3000000000"',       '3000000000',           -1294967296 ],
    [ '"4294967298"',       '4294967298',           -1 ],
    [ '"18446744073709551617"', '18446744073709551617', -1 ],
    [ '"-2147483649"',      '-2147483649',          -2147483648 ],
    [ '"1e10"',             '1e10',                 -1 ],
    [ '" 7 "',              ' 7 ',                  7 ],
    [ '"nan"',              'nan',                  0 ],
    [ 'undef',              undef,                  0 ],
    [ 'tied 2**32 + 1',     do { tie my $t, 'Tied', 2**32 + 1; \$t }, -1 ],
    [ 'overloaded 2**32 + 2', bless(\(my $o = 2**32 + 2), 'Numish'), -1 ],
    [ 'overloaded 3000000000', bless(\(my $o2 = 3000000000), 'Numish'), -1294967296 ],
);
for my $case (@cases) {
    my ($what, $value, $want) = @$case;
    # a tied case comes as a reference to the tied variable itself
    is(as_read(ref $value eq 'SCALAR' ? $$value : $value), $want, "$what reads as $want");
}
{
    tie my $t, 'Tied', 2**32 + 1;
    as_read($t);
    is(tied($t)->{n}, 1, 'a tied argument is fetched once');
}
$probe->_free;

# Every integer argument is read so.

# max: a count above 2**32 - 1 is -1, refused; it does not wrap to a
# small pool.
for my $max (2**32 + 3, '4294967299') {
    ok(!eval { $CLASS->new($max)->_free; 1 }, "new($max) is refused");
    like($@, qr/^panic: memory wrap/, "... with the size guard's panic");
}

# fd: a descriptor number 2**32 above a pipe's is -1, not that pipe.
{
    pipe(my $r, my $w) or die "pipe: $!";
    my ($rfd, $wfd) = (fileno $r, fileno $w);
    for my $fd ($wfd + 2**32, "" . ($wfd + 2**32)) {
        $! = 0;
        is(Brindlecove::ProcessPool::writefd($fd, 'x'), undef, "writefd($fd) fails");
        is($! + 0, EBADF, '... on descriptor -1');
    }
    syswrite $w, 'abcdef';
    my $buf = '';
    $! = 0;
    is(Brindlecove::ProcessPool::readfd($rfd + 2**32, $buf, 10), undef, 'readfd(rfd + 2**32) fails');
    is($! + 0, EBADF, '... on descriptor -1');

    # toread: 2**32 + 2 is -1, refused before reading; not a read of 2.
    ok(!eval { Brindlecove::ProcessPool::readfd($rfd, $buf, 2**32 + 2); 1 },
       'readfd with toread 2**32 + 2 croaks');
    like($@, qr/^Negative length/, '... as a negative length');

    # offset: 2**32 + 1 is -1, one byte back from the end; not byte 1.
    $buf = 'XYZ';
    is(Brindlecove::ProcessPool::readfd($rfd, $buf, 6, 2**32 + 1), 6, 'readfd with offset 2**32 + 1 reads');
    is($buf, 'XYabcdef', '... one byte back from the end, as offset -1');
    close $w;
    close $r;
}

# i: stop(2**32) is refused and leaves the worker in slot 0 running.
{
    my $pool = $CLASS->new(1);
    $pool->start_long(0, sub { sleep 1 for 1 .. 30; POSIX::_exit(0) });
    my $pid = $pool->pid(0);
    for my $i (2**32, 2**32 + 0.5, '4294967296') {
        ok(!eval { $pool->stop($i); 1 }, "stop($i) is refused");
        like($@, qr/^slot index -1 is out of range/, '... as index -1');
    }
    is($pool->pid(0), $pid, 'the worker in slot 0 is still recorded');
    ok(kill(0, $pid), '... and running');
    is_deeply([ $pool->stop(0) ], [0, 2], 'stop(0) stops it');
    $pool->_free;
}

done_testing;
