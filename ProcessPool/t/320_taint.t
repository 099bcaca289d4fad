# Under taint mode, what readfd reads is tainted, as sysread's bytes are;
# a failed read taints nothing.  The checks run in a perl started with -T.
use strict;
use warnings;
use Test::More;
use POSIX ();

my $code = <<'PERL';
use strict;
use warnings;
use Scalar::Util qw(tainted);
use Brindlecove::ProcessPool;
*readfd = \&Brindlecove::ProcessPool::readfd;
alarm 20;
$| = 1;
sub show { print "$_[0] ", ($_[1] ? 1 : 0), "\n" }

pipe(my $r, my $w) or die;
syswrite $w, 'hellohello';
my $plain = 'ab';
show('before', tainted($plain));
readfd(fileno $r, $plain, 3, 2);
show('read', tainted($plain));
show('read-bytes', $plain eq 'abhel');
my $copy = substr($plain, 0, 1);
show('derived', tainted($copy));

package Log { sub TIESCALAR { bless { v => '' }, shift } sub FETCH { $_[0]{v} }
              sub STORE { $_[0]{v} = $_[1] } }
tie my $tied, 'Log';
readfd(fileno $r, $tied, 3);
show('tied', tainted($tied));

my $failed = 'ab';
readfd(-1, $failed, 3);
show('failed', tainted($failed));

close $w;
my $eof = 'ab';
readfd(fileno $r, $eof, 10, 10);     # the rest, then end of input
readfd(fileno $r, $eof, 10, 0);
show('eof', tainted($eof));
PERL

my @inc = map { "-I$_" } grep { !ref } @INC;
my $pid = open(my $out, '-|') // die "fork: $!";
if (!$pid) {
    open STDERR, '>&', \*STDOUT;
    exec $^X, '-T', @inc, '-e', $code or POSIX::_exit(99);
}
my %got = map { /^(\S+) (\d)$/ ? ($1 => $2) : (other => $_) } <$out>;
close $out;
is($?, 0, 'the taint-mode perl ran to its end') or diag(join '', %got);

is($got{'read-bytes'}, 1, 'the read stored its bytes');
# [ what, tainted ]
for my $case (['before', 0], ['read', 1], ['derived', 1], ['tied', 1], ['failed', 0], ['eof', 1]) {
    my ($what, $want) = @$case;
    is($got{$what}, $want, "$what: " . ($want ? 'tainted' : 'not tainted'));
}

done_testing;
