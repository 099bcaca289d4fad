package KVPurePerl;

# The key/value message format in plain Perl: what a Perl programmer would
# write without the module (regular expressions and lookup tables).  The
# benchmark measures the module against it, and the tests use it as an
# independent model of the format, so it follows every rule, NUL bytes and
# the host's joining of UTF-8 and byte strings included, while the common
# case stays the short path a competent codec takes.

use strict;
use warnings;
no warnings 'uninitialized';    # undefined keys and values are the empty string

my (%ENC, %DEC);
for my $b (0 .. 255) {
    my $hex = sprintf '%02X', $b;
    $ENC{ chr $b } = "=$hex";
    $DEC{$_} = chr $b for $hex, lc $hex, ucfirst lc $hex, lcfirst $hex;
}

# encode(key => value, ...): the message.  The form and the escapes work
# on the bytes that a value holds as Perl stores it (its UTF-8 form when it
# carries the flag); keys and plain values are joined as Perl joins
# strings, so a flagged one makes the whole message flagged.
sub encode {
    die "Usage: encode_kv(key => value, key => value, ...)\n" if @_ % 2;
    my @parts;
    for (my $i = 0; $i < @_; $i += 2) {
        my $v = "$_[$i + 1]";
        # (a character above 0x7F is stored as bytes above 0x7F)
        if ($v =~ /^\?|[^\x21-\x3c\x3e-\x7f]/) {
            utf8::encode($v) if utf8::is_utf8($v);
            $v =~ s/([\x00-\x1f_=\x80-\xff])/$ENC{$1}/g;
            $v =~ tr/ /_/;
            $v = "?q?$v";
        }
        push @parts, "$_[$i]=$v";
    }
    return join ' ', @parts;
}

# decode($msg): the flat key/value list, byte strings without the flag.
# Tokens end at single spaces; a NUL byte ends the search for both the
# space and the "=", so the token that holds one runs to the message's end.
sub decode {
    my ($msg) = @_;
    my @out;
    $msg = "$msg";
    return @out unless length $msg;
    utf8::encode($msg) if utf8::is_utf8($msg);
    my @tokens;
    my $nul = index $msg, "\0";
    if ($nul < 0) {
        @tokens = split / /, $msg, -1;
    } else {
        my $cut = rindex $msg, ' ', $nul;
        @tokens = $cut < 0 ? () : $cut == 0 ? ('') : split / /, substr($msg, 0, $cut), -1;
        push @tokens, substr $msg, $cut + 1;
    }
    for my $tok (@tokens) {
        my $eq = index $tok, '=';
        my $z = index $tok, "\0";
        if ($eq < 0 || ($z >= 0 && $z < $eq)) {
            (my $text = $msg) =~ s/\0.*//s;
            die "invalid token $text: can't find '='\n";
        }
        my $v = substr $tok, $eq + 1;
        if (substr($v, 0, 3) eq '?q?') {
            $v = substr $v, 3;
            $v =~ tr/_/ /;
            $v =~ s/=([0-9A-Fa-f]{2})/$DEC{$1}/g;
        }
        push @out, substr($tok, 0, $eq), $v;
    }
    return @out;
}

1;
