use strict;
use warnings;
use Test::More;
use Brindlecove::ProcessPool;
use FindBin;
use lib "$FindBin::Bin/lib";
use KVPurePerl;

*encode_kv = \&Brindlecove::ProcessPool::encode_kv;
*decode_kv = \&Brindlecove::ProcessPool::decode_kv;

sub show { join ', ', map { defined $_ ? do { (my $s = $_) =~ s/([^\x21-\x7e])/sprintf '\\x%02x', ord $1/ge; "'$s'" } : 'undef' } @_ }

# -- worked examples, both ways --------------------------------------------
# [arguments, message, arguments as decoding gives them back]
my @examples = (
    [[],                          ''],
    [[a => '1'],                  'a=1'],
    [[a => '1', b => 'hello world'], 'a=1 b=?q?hello_world'],
    [[x => ''],                   'x='],
    [[x => undef],                'x=',              [x => '']],
    [[n => 42],                   'n=42',            [n => '42']],
    [[k => 'a_b'],                'k=a_b'],
    [[k => 'a_b c'],              'k=?q?a=5Fb_c'],
    [[k => 'x=y'],                'k=?q?x=3Dy'],
    [[k => "line\n"],             'k=?q?line=0A'],
    [[k => "tab\there"],          'k=?q?tab=09here'],
    [[k => "nul\0byte"],          'k=?q?nul=00byte'],
    [[k => '?'],                  'k=?q??'],
    [[k => '?q?x'],               'k=?q??q?x'],
    [[k => "\xe9t\xe9"],          'k=?q?=E9t=E9'],
    [[k => "del\x7f"],            "k=del\x7f"],
    # more of the same rules
    [[k => 'a?b'],                'k=a?b'],
    [[k => "\xff"],               'k=?q?=FF'],
    [[k => '_ _'],                'k=?q?=5F_=5F'],
    [[k => ' '],                  'k=?q?_'],
    [[k => '??'],                 'k=?q???'],
    [[a => 1, a => 2],            'a=1 a=2'],
    [['' => 'v'],                 '=v'],
);
for my $ex (@examples) {
    my ($args, $msg, $back) = @$ex;
    my $name = show(@$args);
    no warnings 'uninitialized';    # the undefined value
    is(encode_kv(@$args), $msg, "encode ($name)");
    is_deeply([decode_kv($msg)], $back // $args, "decode " . show($msg));
}

# Keys are neither escaped nor checked.
{
    no warnings 'uninitialized';
    is(encode_kv(undef, 'v'), '=v', 'an undefined key is the empty key');
}
is(encode_kv('a=b', 'c'), 'a=b=c', 'a key with "=" is written as it is');
is(encode_kv('a b', 'c'), 'a b=c', 'a key with a space is written as it is');
is(encode_kv('k_', 'v'), 'k_=v', 'a key with "_" is not escaped');

# -- decoding edge cases -----------------------------------------------------
my @decode = (
    ['k=?q?=e9',      [k => "\xe9"]],
    ['k=?q?=E9',      [k => "\xe9"]],
    ['k=?q?=eA=Fa',   [k => "\xea\xfa"]],
    ['k=?q?=G1',      [k => '=G1']],
    ['k=?q?=1G',      [k => '=1G']],
    ['k=?q?a=',       [k => 'a=']],
    ['k=?q?=4',       [k => '=4']],
    ['k=?q?=4 b=1',   [k => '=4', b => '1']],
    ['k=?q?= b=1',    [k => '=', b => '1']],
    ['k=?q?=_',       [k => '= ']],
    ['k=?q?==41',     [k => '=A']],
    ['k=?q?=3D41',    [k => '=41']],
    ['k=?q?=00',      [k => "\0"]],
    ['k=?q?',         [k => '']],
    ['k=?Q?x',        [k => '?Q?x']],
    ['k=?q',          [k => '?q']],
    ['k=?',           [k => '?']],
    ['k=?q?_?q?',     [k => ' ?q?']],
    ['k=a_b=3D',      [k => 'a_b=3D']],
    ['a=b=c',         [a => 'b=c']],
    ['=v',            ['' => 'v']],
    ['=',             ['' => '']],
    ['a= b=',         [a => '', b => '']],
    ["a=1 b=x\n",     [a => '1', b => "x\n"]],
    ["a=1\tb=2",      [a => "1\tb=2"]],
    ['a==',           [a => '=']],
    ['',              []],
    # a NUL byte ends the search for the space: the rest is the last token
    ["a=1\0 b=2",     [a => "1\0 b=2"]],
    ["a=1 b=\0 c=3",  [a => '1', b => "\0 c=3"]],
    ["k=?q?x\0 y=_",  [k => "x\0 y= "]],
    ["k=v\0",         [k => "v\0"]],
);
for my $case (@decode) {
    my ($msg, $want) = @$case;
    my @got = eval { decode_kv($msg) };
    is($@, '', 'decode ' . show($msg) . ': no error');
    is_deeply(\@got, $want, 'decode ' . show($msg)) or diag('got ' . show(@got));
}
{
    no warnings 'uninitialized';
    is_deeply([decode_kv(undef)], [], 'an undefined message decodes to nothing');
}
is(scalar(decode_kv('a=1 b=2')), '2', 'scalar context: the last item of the list');
{
    my $msg = 'a=1 b=2';
    my @kv = decode_kv($msg);
    $kv[0] = 'z';
    is($msg, 'a=1 b=2', 'the pushed strings are copies, not the message');
}

# -- errors ------------------------------------------------------------------
my $long = join(' ', map { "k$_=v$_" } 1 .. 2000) . ' tail';
for my $msg (' a=1', 'a=1 ', 'a=1  b=2', 'a=1 noeq', 'a b=c', 'noeq', ' ', '  ',
             'a=1 b=2 c', $long,
             # an "=" behind a NUL byte is not found; the report stops at the NUL
             "a=1 b\0=2", "\0a=1", "ab\0=") {
    (my $text = $msg) =~ s/\0.*//s;
    ok(!eval { decode_kv($msg); 1 }, 'decode ' . show(length $msg > 40 ? substr($msg, 0, 40) . '...' : $msg) . ' croaks');
    like($@, qr/^invalid token \Q$text\E: can't find '=' at \Q${\__FILE__}\E line \d+\.$/,
         '... naming the whole message');
}

for my $args ([1], [1, 2, 3], [1 .. 5]) {
    ok(!eval { encode_kv(@$args); 1 }, scalar(@$args) . ' arguments to encode_kv croak');
    like($@, qr/^\QUsage: encode_kv(key => value, key => value, ...)\E at /, '... with its usage');
}
for my $args ([], ['a=1', 'b=2']) {
    ok(!eval { &Brindlecove::ProcessPool::decode_kv(@$args); 1 },
       scalar(@$args) . ' arguments to decode_kv croak');
    like($@, qr/^\QUsage: Brindlecove::ProcessPool::decode_kv(msg)\E at /, '... with its usage');
}

# -- values read once --------------------------------------------------------
# A tied or overloaded value may give another string each time it is read;
# the bytes that chose the form must be the bytes written.
{
    package Changing;
    sub TIESCALAR { my ($c, @seq) = @_; bless { seq => \@seq, fetches => 0 }, $c }
    sub FETCH { my $s = shift; $s->{seq}[ $s->{fetches}++ % @{ $s->{seq} } ] }
    sub STORE { }

    package ChangingStr;
    use overload '""' => sub { my $s = shift; $s->{seq}[ $s->{calls}++ % @{ $s->{seq} } ] },
                 fallback => 1;
    sub new { my ($c, @seq) = @_; bless { seq => \@seq, calls => 0 }, $c }
}
for my $seq (['ab', 'a b'], ['a b', 'ab'], ['x', "\xe9"]) {
    my $name = show(@$seq);
    my $first = $seq->[0];
    my $want = encode_kv(k => $first);

    my $t = tie my $v, 'Changing', @$seq;
    is(encode_kv(k => $v), $want, "tied value ($name): the first string, in its own form");
    is($t->{fetches}, 1, "tied value ($name): fetched once");

    my $o = ChangingStr->new(@$seq);
    is(encode_kv(k => $o), $want, "overloaded value ($name): the first string, in its own form");
    is($o->{calls}, 1, "overloaded value ($name): stringified once");

    my $tk = tie my $key, 'Changing', 'key1', 'key2';
    is(encode_kv($key => 'v'), 'key1=v', "tied key ($name): read once");
    is($tk->{fetches}, 1, "tied key ($name): fetched once");
}
# The value is read before the key.  One tied scalar as both (each fetch a
# fresh string, so the second replaces the first's buffer), and a key
# whose fetch reassigns the value: the value's bytes must outlive it.
{
    package Fresh;
    sub TIESCALAR { bless { n => 0 }, shift }
    sub FETCH { my $s = shift; $s->{n}++ ? join('', 'k', 'ey') : join('', 'v' x 5000) }
    sub STORE { }

    package Clobber;
    sub TIESCALAR { my ($c, $v) = @_; bless { v => $v }, $c }
    sub FETCH { ${ $_[0]{v} } = join '', 'x' x 7000; 'key' }
    sub STORE { }
}
{
    tie my $t, 'Fresh';
    my $m = encode_kv($t, $t);
    ok($m eq 'key=' . ('v' x 5000), 'one tied scalar as key and value')
        or diag('got ' . show(substr $m, 0, 40) . '...');
    my $v = join '', 'w' x 5000;
    tie my $k, 'Clobber', \$v;
    $m = encode_kv($k, $v);
    ok($m eq 'key=' . ('w' x 5000), 'a key whose fetch reassigns the value')
        or diag('got ' . show(substr $m, 0, 40) . '...');
}
{
    # an undefined key warns, and the __WARN__ handler replaces the value
    my $v = join '', 'v' x 5000;
    my $warned = 0;
    local $SIG{__WARN__} = sub { $warned++; undef $v; $v = join '', 'w' x 5000 };
    my $m = encode_kv(undef, $v);
    is($warned, 1, 'an undefined key warns');
    ok($m eq '=' . ('v' x 5000), 'a __WARN__ handler that replaces the value: the value as it was read')
        or diag('got ' . show(substr $m, 0, 40) . '...');
}
{
    my $t = tie my $m, 'Changing', 'a=1 b=2', 'x';
    is_deeply([decode_kv($m)], [a => '1', b => '2'], 'tied message: decoded from one fetch');
    is($t->{fetches}, 1, 'tied message: fetched once');
}

# -- against the pure-Perl model of the format --------------------------------
# KVPurePerl follows the format's rules with regular expressions; the
# module's scans and its value decoder work on blocks of 8 or 16 bytes, so
# every byte is tried alone and at each position around the block edges.
sub same_as_model {
    my ($name, @args) = @_;
    my $got = encode_kv(@args);
    my $want = KVPurePerl::encode(@args);
    return 1 if $got eq $want;
    fail("encode $name");
    diag('got ' . show($got) . ', model ' . show($want));
    return 0;
}
sub decodes_as_model {
    my ($name, $msg) = @_;
    my @got = eval { decode_kv($msg) };
    (my $err = $@) =~ s/ at \S+ line \d+\.\n\z/\n/;
    my @want = eval { KVPurePerl::decode($msg) };
    return 1 if $err eq $@ && "@got" eq "@want" && @got == @want
        && !grep { $got[$_] ne $want[$_] } 0 .. $#got;
    fail("decode $name");
    diag('message ' . show($msg) . ': got ' . show(@got) . " $err, model " . show(@want) . " $@");
    return 0;
}
{
    my $ok = 1;
    for my $b (0 .. 255) {
        my $c = chr $b;
        $ok &&= same_as_model(sprintf('byte 0x%02x', $b), k => $c);
        $ok &&= decodes_as_model(sprintf('byte 0x%02x', $b), encode_kv(k => $c));
        for my $pos (0 .. 40) {
            my $v = ('a' x $pos) . $c . ('b' x (40 - $pos));
            $ok &&= same_as_model(sprintf('byte 0x%02x at %d', $b, $pos), k => $v);
            $ok &&= decodes_as_model(sprintf('byte 0x%02x at %d', $b, $pos), "k=?q?$v");
        }
        last unless $ok;
    }
    ok($ok, 'every byte value, alone and at positions 0 to 40: encoded and decoded as the model does');
}
{
    # escapes and underscores around the block edges, whole and cut short
    my $ok = 1;
  SNIPPET:
    for my $snip ('=E9', '=e9', '=4', '=', '=G1', '=_', '==41', '_', '__', '=5F_', "=\0", "\0=41") {
        for my $pos (0 .. 40) {
            for my $tail ('', 'x', 'xy', 'x' x 20) {
                my $field = ('a' x $pos) . $snip . $tail;
                $ok = decodes_as_model("'$snip' at $pos", "k=?q?$field b=?q?$field")
                   && decodes_as_model("'$snip' at $pos, last", "k=?q?$field")
                    or last SNIPPET;
            }
        }
    }
    ok($ok, 'escapes, malformed ones and underscores at each position: decoded as the model does');
}

srand(42);
my @key_bytes = grep { $_ != 0x20 && $_ != 0x3d && $_ != 0 } 0 .. 255;
sub rand_key { join '', map { chr $key_bytes[rand @key_bytes] } 1 .. int rand 8 }
sub rand_value {
    my $len = int rand(rand() < 0.1 ? 400 : 40);
    my $kind = rand;
    # bytes of every value, the bytes the format treats specially, or text
    return join '', map { chr int rand 256 } 1 .. $len if $kind < 0.4;
    return join '', map { (qw(? _ = q 4 e), ' ', '=4', '=G', '=e9', '_')[rand 11] } 1 .. $len if $kind < 0.6;
    return join ' ', map { join '', map { chr(97 + rand 26) } 0 .. rand 8 } 0 .. $len / 5;
}
{
    my ($ok, $round_trip) = (1, 1);
    for my $round (1 .. 1500) {
        my @pairs = map { (rand_key(), rand_value()) } 1 .. int rand 6;
        $ok &&= same_as_model("round $round", @pairs);
        my $msg = encode_kv(@pairs);
        my @back = decode_kv($msg);
        unless (@back == @pairs && !grep { $back[$_] ne $pairs[$_] } 0 .. $#pairs) {
            diag("round $round: " . show(@pairs) . ' => ' . show($msg) . ' => ' . show(@back));
            $round_trip = 0;
        }
        # the message cut, joined or damaged anywhere: decoded as the model does
        my $cut = substr $msg, 0, rand(length($msg) + 1);
        my $bad = $msg;
        substr($bad, rand length $bad, 1) = (' ', '=', "\0", '_', 'x')[rand 5] if length $bad;
        $ok &&= decodes_as_model("round $round", $_) for $msg, $cut, $bad, "$cut $msg";
        last unless $ok && $round_trip;
    }
    ok($ok, 'random pairs and damaged messages: encoded and decoded as the model does');
    ok($round_trip, 'random pairs survive encode_kv then decode_kv');
}

{
    my $all = join '', map { chr } 0 .. 255;
    my @pairs = (all => $all, rev => scalar reverse($all), map { ("b$_" => chr($_) x 3) } 0 .. 255);
    my $msg = encode_kv(@pairs);
    like($msg, qr/^[\x21-\x7f]+(?: [\x21-\x7f]+)*\z/,
         'values of every byte: the message is one line of printable bytes');
    is_deeply([decode_kv($msg)], \@pairs, 'values of every byte survive the round trip');
}

done_testing;
