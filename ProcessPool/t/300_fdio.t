use strict;
use warnings;
use Test::More;
use B ();
use Errno qw(EBADF EAGAIN);
use Fcntl qw(F_GETFL F_SETFL O_NONBLOCK);
use Brindlecove::ProcessPool;

*readfd  = \&Brindlecove::ProcessPool::readfd;
*writefd = \&Brindlecove::ProcessPool::writefd;

alarm 60;    # every read below is on a pipe holding data or closed for writing

# A pipe whose read end holds $data; its writer is closed when $eof.
sub filled_pipe {
    my ($data, $eof) = @_;
    pipe(my $r, my $w) or die "pipe: $!";
    binmode $_ for $r, $w;
    syswrite($w, $data) == length $data or die "syswrite: $!" if length $data;
    close $w if $eof;
    return ($r, $w);
}

# What is left in a pipe: close the writer, read to end of input.
sub drain {
    my ($r, $w) = @_;
    close $w if $w;
    my ($all, $buf) = ('', '');
    $all .= $buf while sysread($r, $buf, 65536);
    return $all;
}

sub closed_fd {
    pipe(my $r, my $w) or die "pipe: $!";
    my $fd = fileno $w;
    close $w;
    close $r;
    return $fd;
}

sub flags { B::svref_2object($_[0])->FLAGS }
sub buflen { B::svref_2object($_[0])->LEN }

# -- the worked examples: target "abcdef", the pipe gives "XYZ" -----------
# [toread, offset (undef: omitted), 'XYZ' | 'eof' | 'fail', after, result, min buffer]
my @examples = (
    [10, undef, 'XYZ',  'XYZ',       3,     11],
    [10, 2,     'XYZ',  'abXYZ',     3,     13],
    [10, 6,     'XYZ',  'abcdefXYZ', 3,     17],
    [10, 10,    'XYZ',  'abcdefXYZ', 3,     17],
    [10, -2,    'XYZ',  'abcdXYZ',   3,     15],
    [10, -10,   'XYZ',  'XYZ',       3,     11],
    [10, 2,     'eof',  'ab',        0,     13],
    [10, 2,     'fail', 'abcdef',    undef, 13],
    [0,  1,     'XYZ',  'a',         0,     2],
);
for my $ex (@examples) {
    my ($toread, $offset, $gives, $after, $result, $min) = @$ex;
    my $name = "readfd toread $toread offset " . ($offset // 'omitted') . " gives $gives";
    my $t = join '', 'abc', 'def';    # a buffer of its own, not a shared constant
    my ($r, $w, $fd);
    if ($gives eq 'fail') {
        $fd = closed_fd();
    } else {
        ($r, $w) = filled_pipe($gives eq 'XYZ' ? 'XYZ' : '', $gives eq 'eof');
        $fd = fileno $r;
    }
    $! = 0;
    my $n = defined $offset ? readfd($fd, $t, $toread, $offset) : readfd($fd, $t, $toread);
    is($n, $result, "$name: result");
    is($t, $after, "$name: target");
    cmp_ok(buflen(\$t), '>=', $min, "$name: buffer grown before the read");
    if (defined $result) {
        ok(!(flags(\$t) & (B::SVf_IOK | B::SVf_NOK | B::SVf_ROK | B::SVf_UTF8)),
           "$name: a plain byte string");
    } else {
        is($! + 0, EBADF, "$name: \$! is EBADF");
    }
    is(drain($r, $w), 'XYZ', "$name: a read of 0 reads nothing") if $toread == 0;
}

{
    my ($r, $w) = filled_pipe('XYZ');
    my $t;
    is(readfd(fileno $r, $t, 10), 3, 'fresh undefined target: 3 bytes');
    is($t, 'XYZ', 'fresh undefined target: holds them');
    cmp_ok(buflen(\$t), '>=', 11, 'fresh undefined target: grown to the request');
}

# A short read after a long one cuts the old tail; a non-blocking read
# with nothing to read fails with EAGAIN and leaves the target alone.
{
    my ($r, $w) = filled_pipe('0123456789');
    my $t = '';
    is(readfd(fileno $r, $t, 10), 10, 'long read');
    syswrite $w, 'ab';
    is(readfd(fileno $r, $t, 10), 2, 'short read');
    is($t, 'ab', 'short read leaves nothing of the old tail');
    my $fl = fcntl($r, F_GETFL, 0) or die "fcntl: $!";
    fcntl($r, F_SETFL, $fl | O_NONBLOCK) or die "fcntl: $!";
    $! = 0;
    is(readfd(fileno $r, $t, 10, 1), undef, 'empty non-blocking pipe: undef');
    is($! + 0, EAGAIN, 'empty non-blocking pipe: $! is EAGAIN');
    is($t, 'ab', 'empty non-blocking pipe: target unchanged');
}

# -- target kinds ----------------------------------------------------------

# Copy-on-write: the copy shares its buffer with the original until
# written.  The request fits the shared buffer, so growing it would not
# part the two.  The strings are long enough for every perl to share them
# (5.40 copies a short string instead); sharing is the precondition, and a
# perl that does not share such a copy cannot show the case.
for my $make (sub { my $a = 'abcdef' x 6;               my $b = $a; (\$a, \$b) },
              sub { my $a = join '', ('abcdef') x 6;   my $b = $a; (\$a, \$b) }) {
    my ($a, $b) = $make->();
    SKIP: {
        skip 'this perl copied the string instead of sharing its buffer', 3
            unless flags($b) & B::SVf_IsCOW;
        my ($r, $w) = filled_pipe('XYZ');
        is(readfd(fileno $r, $$b, 2, 2), 2, 'copy-on-write target: read');
        is($$b, 'abXY', 'copy-on-write target: the copy changed');
        is($$a, 'abcdef' x 6, 'copy-on-write target: the original did not');
    }
}

# A target whose string starts inside its buffer (chopped at the front):
# the offset counts from the string's start, not the buffer's.
for my $toread (2, 100) {    # within the buffer, or grown
    my $t = join '', 'xx', 'abcdef';
    substr($t, 0, 2, '');
    ok(flags(\$t) & B::SVf_OOK, 'front-chopped target: an offset buffer');
    my ($r, $w) = filled_pipe('XYZ');
    my $n = readfd(fileno $r, $t, $toread, 2);
    is($t, substr('abXYZ', 0, 2 + $n), "front-chopped target, toread $toread");
}

# Read-only targets croak and read nothing.
use constant CONST_TARGET => 'abcdef';
for my $case (
    [literal  => sub { readfd($_[0], 'abcdef', 10) }],
    [constant => sub { readfd($_[0], CONST_TARGET, 10) }],
    [undef    => sub { readfd($_[0], undef, 10) }],
) {
    my ($name, $code) = @$case;
    my ($r, $w) = filled_pipe('XYZ');
    ok(!eval { $code->(fileno $r); 1 }, "read-only $name target croaks");
    like($@, qr/^Modification of a read-only value attempted/, "read-only $name target: message");
    is(drain($r, $w), 'XYZ', "read-only $name target: nothing read");
}
is(CONST_TARGET, 'abcdef', 'the constant is unchanged');

# Targets without a valid string value count as empty: no stale bytes.
for my $case (
    # the string is built at run time so that its buffer stays in place
    ['undef after a string',  sub { my $t = join '', 'abc', 'def'; undef $t; \$t }],
    ['undef assigned',        sub { my $t = join '', 'abc', 'def'; $t = undef; \$t }],
    ['number after a string', sub { my $t = join '', 'abc', 'def'; $t = 42; \$t }],
    ['number never a string', sub { my $t = 123456; \$t }],
    ['float never a string',  sub { my $t = 1234.5; \$t }],
) {
    my ($name, $make) = @$case;
    my $ref = $make->();
    my ($r, $w) = filled_pipe('XYZ');
    is(readfd(fileno $r, $$ref, 10, 3), 3, "$name: read");
    is($$ref, 'XYZ', "$name: counts as empty");
    ok(!(flags($ref) & (B::SVf_IOK | B::SVf_NOK)), "$name: no number left");
}

# A reference target: released after a successful read, kept on failure.
{
    package Counted;
    our $destroyed = 0;
    sub new { bless {}, shift }
    sub DESTROY { $destroyed++ }
}
{
    my $t = Counted->new;
    my ($r, $w) = filled_pipe('XYZ');
    is(readfd(fileno $r, $t, 10, 2), 3, 'reference target: read');
    is($t, 'XYZ', 'reference target: counts as empty');
    is($Counted::destroyed, 1, 'reference target: referent released');
    ok(!ref $t, 'reference target: no longer a reference');
}
{
    local $Counted::destroyed = 0;
    my $obj = Counted->new;
    my $addr = 0 + $obj;
    my $t = $obj;
    undef $obj;
    $! = 0;
    is(readfd(closed_fd(), $t, 10), undef, 'reference target, failed read: undef');
    is($! + 0, EBADF, 'reference target, failed read: EBADF');
    is(ref $t, 'Counted', 'reference target, failed read: still the reference');
    is(0 + $t, $addr, 'reference target, failed read: the same object');
    is($Counted::destroyed, 0, 'reference target, failed read: not released');
    undef $t;
    is($Counted::destroyed, 1, 'reference target, failed read: released once later');
}

# Croaks before any read: a negative length, a glob.
for my $case (
    ['negative toread', qr/^Negative length/, sub { my $t = 'abcdef'; readfd($_[0], $t, -1); $t }],
    ['glob target',     qr/glob/,             sub { my $t = *STDOUT; readfd($_[0], $t, 10) }],
    ['glob literal',    qr/glob|read-only/,   sub { readfd($_[0], *STDOUT, 10) }],
) {
    my ($name, $re, $code) = @$case;
    my ($r, $w) = filled_pipe('XYZ');
    ok(!eval { $code->(fileno $r); 1 }, "$name croaks");
    like($@, $re, "$name: message");
    is(drain($r, $w), 'XYZ', "$name: nothing read");
}
{
    my $t = 'abcdef';
    my ($r, $w) = filled_pipe('XYZ');
    eval { readfd(fileno $r, $t, -5, 2) };
    is($t, 'abcdef', 'negative toread: target unchanged');
}
ok(defined *STDOUT{IO}, 'STDOUT glob intact');

# A UTF-8 flagged target: offsets count stored bytes, the flag goes.
for my $case (
    ["\x{e9}bc", 2, "\xc3\xa9XYZ"],            # stored as c3 a9 62 63
    ["\x{263a}ab", -2, "\xe2\x98\xbaXYZ"],     # stored as e2 98 ba 61 62
    ["\x{263a}ab", 1, "\xe2XYZ"],              # splits a character: bytes only
) {
    my ($str, $offset, $after) = @$case;
    my $t = $str;
    utf8::upgrade($t);
    my ($r, $w) = filled_pipe('XYZ');
    is(readfd(fileno $r, $t, 10, $offset), 3, "utf8 target offset $offset: read");
    ok(!utf8::is_utf8($t), "utf8 target offset $offset: flag cleared");
    is($t, $after, "utf8 target offset $offset: bytes");
}

# A tied target gets STORE on success only.
{
    package TieLog;
    sub TIESCALAR { my ($c, $log) = @_; bless { log => $log, v => 'abcdef' }, $c }
    sub FETCH { $_[0]{v} }
    sub STORE { push @{ $_[0]{log} }, $_[1]; $_[0]{v} = $_[1] }
}
{
    my @log;
    tie my $t, 'TieLog', \@log;
    my ($r, $w) = filled_pipe('XYZ');
    is(readfd(fileno $r, $t, 10), 3, 'tied target: read');
    is_deeply(\@log, ['XYZ'], 'tied target: STORE got the bytes read');
    is(readfd(closed_fd(), $t, 10), undef, 'tied target: failed read');
    is(scalar @log, 1, 'tied target: no STORE on failure');
    untie $t;
}

# -- writefd ---------------------------------------------------------------
{
    package Stringy;
    use overload '""' => sub { 'over' }, fallback => 1;
}
for my $case (
    ['empty string',   '',                                     ''],
    ['undef',          undef,                                  ''],
    ['integer',        42,                                     '42'],
    ['negative float', -2.5,                                   '-2.5'],
    ['utf8 string',    do { my $s = "\x{e9}"; utf8::upgrade($s); $s }, "\xc3\xa9"],
    ['overloaded',     bless([], 'Stringy'),                   'over'],
) {
    my ($name, $str, $bytes) = @$case;
    my ($r, $w) = filled_pipe('');
    no warnings 'uninitialized';
    is(writefd(fileno $w, $str), length $bytes, "writefd $name: count");
    is(drain($r, $w), $bytes, "writefd $name: bytes written");
}
{
    $! = 0;
    is(writefd(closed_fd(), 'abc'), undef, 'writefd on a closed descriptor: undef');
    is($! + 0, EBADF, 'writefd on a closed descriptor: EBADF');
}

# A partial write: a nearly full non-blocking pipe takes part of the string.
{
    my ($r, $w) = filled_pipe('');
    my $fl = fcntl($w, F_GETFL, 0) or die "fcntl: $!";
    fcntl($w, F_SETFL, $fl | O_NONBLOCK) or die "fcntl: $!";
    my $filled = 0;
    while (1) {
        my $n = syswrite($w, 'f' x 4096);
        last unless defined $n;
        $filled += $n;
        die "pipe never fills" if $filled > 64 << 20;
    }
    ok($!{EAGAIN}, 'the pipe is full');
    $! = 0;
    is(writefd(fileno $w, 'x'), undef, 'writefd on a full non-blocking pipe: undef');
    is($! + 0, EAGAIN, 'writefd on a full non-blocking pipe: EAGAIN');

    my $taken = sysread($r, my $buf, 10000);
    is($taken, 10000, 'made room in the pipe');
    my $big = join '', map { chr(65 + $_ % 26) } 0 .. (1 << 20) - 1;
    my $n = writefd(fileno $w, $big);
    ok(defined $n && $n > 0 && $n < length $big, 'partial write: a smaller count')
        or diag("count: " . ($n // "undef ($!)"));
    my $rest = drain($r, $w);
    is(length $rest, $filled - 10000 + $n, 'partial write: exactly the count was written');
    is(substr($rest, $filled - 10000), substr($big, 0, $n), 'partial write: the string\'s first bytes');
}

# -- usage -----------------------------------------------------------------
for my $case (
    [writefd => [1],             'writefd(fd, str)'],
    [writefd => [1, 2, 3],       'writefd(fd, str)'],
    [readfd  => [1, 2],          'readfd(fd, str, toread, offset=0)'],
    [readfd  => [1, 2, 3, 4, 5], 'readfd(fd, str, toread, offset=0)'],
) {
    my ($fn, $args, $usage) = @$case;
    no strict 'refs';
    ok(!eval { &{"Brindlecove::ProcessPool::$fn"}(@$args); 1 }, "$fn with " . @$args . " arguments croaks");
    like($@, qr/^\QUsage: Brindlecove::ProcessPool::$usage\E/, "$fn with " . @$args . " arguments: usage");
}

done_testing;
