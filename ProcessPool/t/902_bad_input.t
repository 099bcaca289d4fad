# Every entry point given the wrong kind of argument: undef, references,
# huge, negative and non-finite numbers, strings that are not numbers,
# read-only values, tied scalars, and pool objects that are not (or no
# longer) pools.  Each case runs in a child perl of its own, so a crash
# shows as that case ending by a signal; the case passes when the child
# exited normally and printed the expected result or error.
use strict;
use warnings;
use Test::More;

my $prelude = <<'PERL';
use strict; no warnings;
use POSIX ();
use Brindlecove::ProcessPool;
our $C = 'Brindlecove::ProcessPool';
our $P = $C->new(2);                                 # two free slots
our $stale = $C->new(1); $stale->_free;              # released
our $fake = bless \(my $x = $$P), $C;                # same address, no record magic
our $R; pipe($R, my $W) or die; our $rfd = fileno $R; our $wfd = fileno $W;
syswrite $W, "hello";
our $closed = do { pipe(my $a, my $b); my $n = fileno $a; close $a; close $b; $n };
package Tied { sub TIESCALAR { my ($c, $v) = @_; bless { v => $v, fetch => 0, store => 0 }, $c }
               sub FETCH { $_[0]{fetch}++; $_[0]{v} } sub STORE { $_[0]{store}++; $_[0]{v} = $_[1] } }
package main;
sub tied_with { tie my $t, 'Tied', $_[0]; \$t }
sub W { Brindlecove::ProcessPool::writefd(@_) }
sub R { Brindlecove::ProcessPool::readfd(@_) }
sub show { join ',', map { defined $_ ? $_ : 'undef' } @_ }
PERL

# [name, code, expected output].  The code's value is printed as
# "lived: LIST" or, when it died, "died: MESSAGE".
# the large cases are cut down under the sanitizer and valgrind, whose
# allocators make them slow, and under a CPU emulator (PROCPOOL_EMULATED)
my $big = ($ENV{PROCPOOL_SANITIZED} || $ENV{PROCPOOL_VALGRIND} || $ENV{PROCPOOL_EMULATED}) ? 1e4 : 1e6;
my @cases = (
    # new(ign, max)
    ['new: undef count',            'my $p = $C->new(undef); my $n = $p->slots; $p->_free; $n', qr/^lived: 0$/],
    ['new: negative count',         '$C->new(-1)',            qr/^died: panic: memory wrap/],
    ['new: -2**31',                 '$C->new(-2**31)',        qr/^died: panic: memory wrap/],
    ['new: 2**27 over the guard',   '$C->new(2**27)',         qr/^died: panic: memory wrap/],
    ['new: 1e300',                  '$C->new(1e300)',         qr/^died: panic: memory wrap/],
    ['new: infinity',               '$C->new(9**9**9)',       qr/^died: panic: memory wrap/],
    ['new: -infinity is -2**31',    '$C->new(-9**9**9)',      qr/^died: panic: memory wrap/],
    ['new: NaN is 0',               'my $p = $C->new("nan"+0); my $n = $p->slots; $p->_free; $n', qr/^lived: 0$/],
    ['new: 2**32+3 reads as -1',    '$C->new(2**32+3)',       qr/^died: panic: memory wrap/],
    ['new: string "abc"',           'my $p = $C->new("abc"); my $n = $p->slots; $p->_free; $n', qr/^lived: 0$/],
    ['new: string "3abc"',          'my $p = $C->new("3abc"); my @l = map { $p->used($_) } 0..2; $p->_free; show(@l)', qr/^lived: 0,0,0$/],
    ['new: tied count, one FETCH',  'my $t = tied_with(2); my $p = $C->new($$t); my $f = tied($$t)->{fetch}; $p->_free; $f', qr/^lived: 1$/],
    ['new: array ref as count',     'my $p = eval { $C->new([]) }; $p ? do { $p->_free; "made" } : $@', qr/^lived: (?:made|panic: memory wrap)/],

    # the pool object
    (map { my ($what, $self, $re) = @$_;
           map { my $args = $_ eq 'start_long' ? ', 0, sub {}' : ', 0';
                 ["$_: self $what", "\$C->can('$_')->($self$args)", $re] } qw(pid stop inc start_long) }
        ['undef',             'undef',           qr/^died: self is not of type Brindlecove::ProcessPool/],
        ['class name',        '$C',              qr/^died: self is not of type Brindlecove::ProcessPool/],
        ['array ref',         '[]',              qr/^died: self is not of type Brindlecove::ProcessPool/],
        ['hand-blessed',      '$fake',           qr/^died: self is not of type Brindlecove::ProcessPool/],
        ['released',          '$stale',          qr/^died: self is a released Brindlecove::ProcessPool/],
        ['code ref',          'sub {}',          qr/^died: self is not of type Brindlecove::ProcessPool/],
    ),
    ['_free: released twice',       '$stale->_free',          qr/^died: self is a released/],
    ['_free: hand-blessed',         '$fake->_free',           qr/^died: self is not of type/],
    ['slots: tied pool object',     'my $t = tied_with($P); scalar Brindlecove::ProcessPool::slots($$t)', qr/^lived: 0$/],
    ['rfds: read-only class name',  'Brindlecove::ProcessPool::rfds("Brindlecove::ProcessPool")', qr/^died: self is not of type/],
    ['pid: pool number changed',    'my $q = $C->new(1); my $keep = $$q; $$q += 32; my $e = eval { $q->pid(0); 1 } ? "" : $@; $$q = $keep; $q->_free; die $e', qr/^died: self is not of type/],

    # slot indexes
    ['pid: index -1',               '$P->pid(-1)',            qr/^died: slot index -1 is out of range/],
    ['stop: index 2 of 2',          '$P->stop(2)',            qr/^died: slot index 2 is out of range/],
    ['inc: index 2**31',            '$P->inc(2**31)',         qr/^died: slot index -2147483648 is out of range/],
    ['start_long: index 1e300',     '$P->start_long(1e300, sub {})', qr/^died: slot index -1 is out of range/],
    ['used: index 2**32 reads as -1', '$P->used(2**32)',      qr/^died: slot index -1 is out of range/],
    ['efd: index undef is 0',       '$P->efd(undef)',         qr/^lived: 0$/],
    ['wfd: index "abc" is 0',       '$P->wfd("abc")',         qr/^lived: 0$/],
    ['rfd: index ref',              '$P->rfd([])',            qr/^died: slot index -?\d+ is out of range/],
    ['stop: tied index, one FETCH', 'my $t = tied_with(1); my @r = $P->stop($$t); scalar(@r) . "/" . tied($$t)->{fetch}', qr/^lived: 0\/1$/],

    # start_long with a func that is no subroutine: the worker fails, (1, 0);
    # the parent waits for end of output, so the stop finds it ended
    (map { my ($what, $f) = @$_;
           ["start_long: func $what", "\$P->start_long(0, $f); my \$s; 1 while R(\$P->rfd(0), \$s, 100); show(\$P->stop(0))", qr/^lived: 1,0$/] }
        ['undef', 'undef'], ['number', '42'], ['array ref', '[]'], ['unknown name', '"no::such"'],
        ['tied', '${ tied_with("no::such") }']),

    # writefd(fd, str)
    ['writefd: fd -1',              'show(W(-1, "x")) . " $!"', qr/^lived: undef Bad file descriptor$/],
    ['writefd: closed fd',          'show(W($closed, "x"))',    qr/^lived: undef$/],
    ['writefd: fd 2**32 + 1 is -1, not STDOUT', 'show(W(2**32 + 1, "")) . " $!"', qr/^lived: undef Bad file descriptor$/],
    ['writefd: fd 1e300',           'show(W(1e300, "x"))',      qr/^lived: undef$/],
    ['writefd: fd NaN',             'show(W("nan"+0, ""))',     qr/^lived: (?:undef|0)$/],
    ['writefd: undef data',         'W(fileno($W), undef)',     qr/^lived: 0$/],
    ['writefd: ref data',           'my $n = W(fileno($W), [1]); $n > 6 ? "text" : $n', qr/^lived: text$/],
    ['writefd: tied data, one FETCH', 'my $t = tied_with("abc"); my $n = W(fileno($W), $$t); "$n/" . tied($$t)->{fetch}', qr/^lived: 3\/1$/],
    ['writefd: glob data',          'W(fileno($W), *STDOUT) > 0 ? 1 : 0', qr/^lived: 1$/],

    # readfd(fd, str, toread, offset)
    ['readfd: read-only target',    'R($rfd, "const", 3)',    qr/^died: Modification of a read-only value attempted/],
    ['readfd: read-only variable',  'Internals::SvREADONLY(my $s = "x", 1); R($rfd, $s, 3)', qr/^died: Modification of a read-only value attempted/],
    ['readfd: negative toread',     'my $s; R($rfd, $s, -1)', qr/^died: Negative length/],
    ['readfd: toread 2**31',        'my $s; R($rfd, $s, 2**31)', qr/^died: Negative length/],
    ['readfd: toread "abc" is 0',   'my $s = "zz"; show(R($rfd, $s, "abc"), $s)', qr/^lived: 0,$/],
    ['readfd: offset 2**31-1 appends', 'my $s = "ab"; show(R($rfd, $s, 5, 2**31-1), $s)', qr/^lived: 5,abhello$/],
    ['readfd: offset -2**31 is start', 'my $s = "ab"; show(R($rfd, $s, 5, -2**31), $s)', qr/^lived: 5,hello$/],
    ['readfd: offset undef is 0',   'my $s = "ab"; show(R($rfd, $s, 5, undef), $s)', qr/^lived: 5,hello$/],
    ['readfd: fd -1 keeps target',  'my $s = "ab"; show(R(-1, $s, 5), $s)', qr/^lived: undef,ab$/],
    ['readfd: closed fd',           'my $s = "ab"; show(R($closed, $s, 5), $s)', qr/^lived: undef,ab$/],
    ['readfd: ref target',          'my $s = [1]; show(R($rfd, $s, 5), ref $s, $s)', qr/^lived: 5,,hello$/],
    ['readfd: ref target, failed read keeps it', 'my $s = [7]; R(-1, $s, 5); ref $s eq "ARRAY" && $s->[0]', qr/^lived: 7$/],
    ['readfd: tied target stored',  'my $t = tied_with("old"); my $n = R($rfd, $$t, 5); "$n/" . tied($$t)->{v} . "/" . tied($$t)->{store}', qr/^lived: 5\/hello\/1$/],
    ['readfd: glob target',         'R($rfd, *STDOUT, 5)',     qr/^died: readfd target is a glob/],
    ['readfd: substr lvalue target', 'my $s = "abcdef"; R($rfd, substr($s, 1, 2), 5); $s', qr/^lived: ahellodef$/],
    ['readfd: number target',       'my $s = 42; show(R($rfd, $s, 5), $s)', qr/^lived: 5,hello$/],
    ['readfd: shared COW buffer',   'my $a = "abcdef"; my $b = $a; R($rfd, $b, 5, 3); "$a/$b"', qr/^lived: abcdef\/abchello$/],

    # encode_kv / decode_kv
    ['encode_kv: undef pair',       'Brindlecove::ProcessPool::encode_kv(undef, undef)', qr/^lived: =$/],
    ['encode_kv: refs',             'Brindlecove::ProcessPool::encode_kv([], {}) =~ /^ARRAY\(0x[0-9a-f]+\)=HASH\(0x[0-9a-f]+\)$/ ? 1 : 0', qr/^lived: 1$/],
    ['encode_kv: odd count',        'Brindlecove::ProcessPool::encode_kv(1)', qr/^died: Usage: encode_kv/],
    ['encode_kv: tied, one FETCH each', 'my $t = tied_with("a b"); my $m = Brindlecove::ProcessPool::encode_kv(k => $$t); "$m/" . tied($$t)->{fetch}', qr/^lived: k=\S+\/1$/],
    ["encode_kv: $big pairs", "length Brindlecove::ProcessPool::encode_kv(map { (\$_, q{v}) } 1 .. $big) > $big ? 1 : 0", qr/^lived: 1$/],
    ['decode_kv: undef',            'scalar(my @l = Brindlecove::ProcessPool::decode_kv(undef))', qr/^lived: 0$/],
    ['decode_kv: ref',              'Brindlecove::ProcessPool::decode_kv([])', qr/^died: invalid token ARRAY/],
    ['decode_kv: number',           'Brindlecove::ProcessPool::decode_kv(42)', qr/^died: invalid token 42: can't find '='/],
    ['decode_kv: tied',             'my $t = tied_with("a=1 b=2"); show(Brindlecove::ProcessPool::decode_kv($$t))', qr/^lived: a,1,b,2$/],
    ['decode_kv: NUL in the token', 'Brindlecove::ProcessPool::decode_kv("a\0=b")', qr/^died: invalid token a: can't find '='/],
    ['decode_kv: only spaces',      'Brindlecove::ProcessPool::decode_kv("   ")', qr/^died: invalid token/],
    ["decode_kv: ${\ (2 * $big)} tokens", "scalar(my \@l = Brindlecove::ProcessPool::decode_kv(join q{ }, (q{k=v}) x (2 * $big)))", qr/^lived: ${\ (4 * $big)}$/],
);

my $script = "/tmp/pp902-$$.pl";
open my $fh, '>', $script or die "$script: $!";
print $fh $prelude, <<'PERL';
my $code = shift;
# syswrite: _exit does not flush what print buffered
local $SIG{ALRM} = sub { syswrite STDOUT, "died: timed out\n"; POSIX::_exit(0) };
alarm 20;
my @r = eval $code;
alarm 0;   # the sanitizer's leak check at exit may take a while
print defined $@ && $@ ne '' ? "died: $@" : "lived: " . show(@r) . "\n";
eval { $P->_free };   # the prelude's pool, freed like any other
PERL
close $fh;

my @inc = map { "-I$_" } @INC;
for my $c (@cases) {
    my ($name, $code, $want) = @$c;
    my $pid = open(my $out, '-|') // die "fork: $!";
    if (!$pid) {
        open STDERR, '>', '/dev/null';
        exec $^X, @inc, $script, $code or POSIX::_exit(99);
    }
    my $got = do { local $/; <$out> };
    close $out;
    my $status = $?;
    $got = '' unless defined $got;
    ok(!($status & 127) && ($status >> 8) == 0 && $got =~ $want, $name)
        or diag(sprintf "status %d (signal %d), output: %s", $status >> 8, $status & 127, $got);
}
unlink $script;
done_testing;
