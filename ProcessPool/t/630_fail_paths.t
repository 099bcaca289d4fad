# Every launch failure that can be provoked, many times over, leaves the
# parent's descriptors exactly as they were.  A child perl runs under a
# low open-file limit (soft and hard, so the module's raise at load keeps
# it) with all descriptors taken but 0, 2 or 4: the first, second or
# third pipe of the launch fails.  With 6 free the launch succeeds and the
# stop gives them all back.  The exact messages are checked in
# t/230_launch_fail.t; here the count matters.  A failed fork cannot be
# provoked as root (the process limit does not bind it), so it is left out.
use strict;
use warnings;
use Test::More;

my $reps = $ENV{PROCPOOL_FAIL_REPS} || 200;
my $limit = 64;

my $child = <<'PERL';
use strict; use warnings; use POSIX ();
use Brindlecove::ProcessPool;
my ($reps, $limit) = @ARGV;
# lstat of /proc/self/fd/N takes no descriptor, so it works with none free
sub fdset { join ',', grep { lstat "/proc/self/fd/$_" } 0 .. $limit + 8 }
my $pool = Brindlecove::ProcessPool->new(1);
my @fill;
while (open my $fh, '<', '/dev/null') { push @fill, $fh }
die "expected EMFILE, got $!" unless $!{EMFILE};
my %want = (0 => qr/^can't create pipe for Kelbrin's input: /,
            2 => qr/^can't create pipe for Torsh's output: /,
            4 => qr/^can't create pipe for Torsh errors: /);
for my $free (0, 2, 4, 6) {
    my @freed = splice @fill, 0, $free;
    close $_ for @freed;
    my $before = fdset();
    my ($fails, $msg_ok, $changed, $stops) = (0, 0, 0, 0);
    for (1 .. $reps) {
        my $ok = eval { $pool->start_long(0, sub { sysread STDIN, my $b, 1; POSIX::_exit(0) }); 1 };
        my $err = $@;
        if ($ok) {
            my @st = $pool->stop(0);
            $stops++ if @st == 2 && $st[0] == 0;
        } else {
            $fails++;
            $msg_ok++ if $free < 6 && $err =~ $want{$free} && $err =~ /Too many open files/;
        }
        $changed++ if fdset() ne $before;
    }
    print "free=$free fails=$fails msg_ok=$msg_ok changed=$changed stops=$stops\n";
    while (@fill < 1000) { open my $fh, '<', '/dev/null' or last; push @fill, $fh }
}
print "children=", (waitpid(-1, POSIX::WNOHANG()) == -1 ? 0 : 1), "\n";
$pool->_free;
PERL

my @inc = map { "-I$_" } @INC;
local $SIG{ALRM} = sub { die "timed out\n" };
alarm 120;
# the script goes through a file: quoting it for the shell is not worth it
my $script = "/tmp/pp630-$$.pl";
open my $fh, '>', $script or die "$script: $!";
print $fh $child;
close $fh;
my $out = qx{ulimit -n $limit && exec "$^X" @inc "$script" $reps $limit 2>&1};
my $status = $?;
unlink $script;
alarm 0;

is($status & 127, 0, 'the child perl did not end by a signal') or diag($out);
is($status >> 8, 0, 'and exited 0') or diag($out);
my %r = map { /^free=(\d+) (.*)/ ? ($1 => { map { split /=/ } split ' ', $2 }) : () } split /\n/, $out;
for my $free (0, 2, 4) {
    my $which = (qw(first second third))[$free / 2];
    is($r{$free}{fails}, $reps, "$free free: all $reps launches failed at the $which pipe");
    is($r{$free}{msg_ok}, $reps, "$free free: each report named the $which pipe and EMFILE");
    is($r{$free}{changed}, 0, "$free free: descriptor set unchanged after every failure");
}
is($r{6}{fails}, 0, "6 free: all $reps launches succeeded");
is($r{6}{stops}, $reps, "6 free: each stopped with exit code 0");
is($r{6}{changed}, 0, '6 free: descriptor set unchanged after every launch and stop');
like($out, qr/^children=0$/m, 'no child left in the child perl');
diag($out) if $ENV{PROCPOOL_FIGURES};
done_testing;
