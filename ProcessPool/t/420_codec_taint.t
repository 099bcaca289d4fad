use strict;
use warnings;
use Test::More;
use FindBin;
use lib "$FindBin::Bin/lib";
use ChildPerl qw(run_perl);

# Under perl -T the codec's results carry the taint of its input, as the
# core's string operations do.  Taint mode is chosen when perl starts, so
# the checks run in a child perl started with -T (the shell step puts the
# switch in front of the child's arguments).
my $code = <<'PERL';
use strict;
use warnings;
use Brindlecove::ProcessPool;
use Scalar::Util qw(tainted);

*encode_kv = \&Brindlecove::ProcessPool::encode_kv;
*decode_kv = \&Brindlecove::ProcessPool::decode_kv;

my $t = substr($ENV{PATH} // '', 0, 0);    # empty and tainted
print "tainting ", (${^TAINT} ? 1 : 0), "\n";
print "source ", (tainted($t) ? 1 : 0), "\n";

{
    package Tied;
    sub TIESCALAR { my ($c, $v) = @_; bless \$v, $c }
    sub FETCH { my $s = shift; my $x = 1; $x++; $$s }    # statements reset the taint state
    sub STORE { }
}
tie my $tied_key, 'Tied', 'k';

my @encode = (
    [ 'clean',                  [ k => 'v', n => 1 ] ],
    [ 'tainted plain value',    [ k => "v$t" ] ],
    [ 'tainted encoded value',  [ k => "a b$t" ] ],
    [ 'tainted key',            [ "k$t" => 'v' ] ],
    [ 'tainted second pair',    [ a => 1, k => "v$t" ] ],
    [ 'tainted value, tied key', [ $tied_key => "v$t" ] ],
);
for my $case (@encode) {
    my ($name, $args) = @$case;
    my $msg = encode_kv(@$args);
    print "encode $name: ", (tainted($msg) ? 1 : 0), "\n";
}
for my $case ([ 'clean', 'a=1 b=?q?x_y' ], [ 'tainted', "a=1 b=?q?x_y c=$t" ]) {
    my ($name, $msg) = @$case;
    my @kv = decode_kv($msg);
    print "decode $name: ", join(',', map { tainted($_) ? 1 : 0 } @kv), "\n";
}
my $clean = 'a=1';
print "decode clean after tainted: ", join(',', map { tainted($_) ? 1 : 0 } decode_kv($clean)), "\n";
PERL

my $run = run_perl(code => $code, shell => 'p=$1; shift; set -- "$p" -T "$@"');
is($run->{status}, 0, 'the taint-mode child ran') or diag($run->{err});
my %got = map { /^(.*?):? (\S+)$/ ? ($1 => $2) : () } split /\n/, $run->{out};

is($got{tainting}, 1, 'the child runs under -T');
is($got{source}, 1, 'the test input is tainted');
is($got{'encode clean'}, 0, 'encode_kv: clean arguments, clean message');
is($got{"encode $_"}, 1, "encode_kv: $_, tainted message")
    for 'tainted plain value', 'tainted encoded value', 'tainted key', 'tainted second pair',
        'tainted value, tied key';
is($got{'decode clean'}, '0,0,0,0', 'decode_kv: clean message, clean strings');
is($got{'decode tainted'}, '1,1,1,1,1,1', 'decode_kv: tainted message, every key and value tainted');
is($got{'decode clean after tainted'}, '0,0', 'decode_kv: a later clean message, clean strings');

done_testing;
