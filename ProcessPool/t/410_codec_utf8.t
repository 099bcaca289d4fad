use strict;
use warnings;
use Test::More;
use Brindlecove::ProcessPool;

*encode_kv = \&Brindlecove::ProcessPool::encode_kv;
*decode_kv = \&Brindlecove::ProcessPool::decode_kv;

sub up   { my $s = shift; utf8::upgrade($s); $s }    # same characters, flagged
sub hexb { my $s = shift; utf8::encode($s) if utf8::is_utf8($s); join ' ', map { sprintf '%02x', ord } split //, $s }

# encode_kv: [name, arguments, flagged result?, stored bytes of the message]
my @encode = (
    ['flagged key',                   ["\x{263a}" => 'v'],            1, "\xe2\x98\xba=v"],
    ['flagged ASCII key',             [up('k') => 'v'],               1, 'k=v'],
    ['high-byte key after flagged',   ["\x{263a}" => 1, "\xe9" => 2], 1, "\xe2\x98\xba=1 \xc3\xa9=2"],
    ['high-byte key before flagged',  ["\xe9" => 1, "\x{263a}" => 2], 1, "\xc3\xa9=1 \xe2\x98\xba=2"],
    ['high-byte key, no flag',        ["\xe9" => 1],                  0, "\xe9=1"],
    ['flagged plain value',           [k => up('abc'), "\xe9" => 1],  1, "k=abc \xc3\xa9=1"],
    ['flagged value, high char',      [k => up("\xe9")],              0, 'k=?q?=C3=A9'],
    ['flagged value, wide char',      [k => "a \x{263a}"],            0, 'k=?q?a_=E2=98=BA'],
    ['unflagged value, high byte',    [k => "\xe9"],                  0, 'k=?q?=E9'],
    ['flagged key, encoded value',    ["\x{263a}" => up("\xe9 _")],     1, "\xe2\x98\xba=?q?=C3=A9_=5F"],
);
for my $case (@encode) {
    my ($name, $args, $flagged, $bytes) = @$case;
    my $msg = encode_kv(@$args);
    is(!!utf8::is_utf8($msg), !!$flagged, "$name: UTF-8 flag " . ($flagged ? 'set' : 'clear'));
    my $stored = $msg;
    utf8::encode($stored) if utf8::is_utf8($stored);
    is(hexb($stored), hexb($bytes), "$name: stored bytes");
}

# decode_kv splits a flagged message along its stored bytes and returns
# byte strings without the flag.
for my $case (
    ['flagged message, wide key',  "\x{263a}=?q?=E9 k=\x{e9}", ["\xe2\x98\xba", "\xe9", 'k', "\xc3\xa9"]],
    ['flagged ASCII message',      up('a=1 b=?q?x_y'),          [a => '1', b => 'x y']],
    ['flagged message, wide value', "k=\x{263a}_",              [k => "\xe2\x98\xba_"]],
    ['unflagged high bytes',       "\xe9=\xff",                 ["\xe9", "\xff"]],
) {
    my ($name, $msg, $want) = @$case;
    my @got = decode_kv($msg);
    is_deeply([map { hexb($_) } @got], [map { hexb($_) } @$want], "$name: bytes");
    ok(!grep({ utf8::is_utf8($_) } @got), "$name: nothing flagged");
}

# Round trips with flagged keys and values come back as their bytes.
{
    my @pairs = ("\x{263a}" => "v w", k => "\x{e9}\x{263a}", "\xe9" => up('plain'));
    my @back = decode_kv(encode_kv(@pairs));
    my @bytes = map { my $s = $_; utf8::encode($s); $s } @pairs;
    is_deeply([map { hexb($_) } @back], [map { hexb($_) } @bytes], 'round trip: the UTF-8 bytes of each item');
    ok(!grep({ utf8::is_utf8($_) } @back), 'round trip: nothing flagged');
}

done_testing;
