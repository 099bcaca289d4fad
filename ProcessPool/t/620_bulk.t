# 64 MiB of random bytes through one echo worker and back, with writefd
# and readfd driven by a select loop: every byte comes back, in order.
# PROCPOOL_BULK_MIB scales the amount.
use strict;
use warnings;
use Test::More;
use POSIX ();
use Time::HiRes ();
use Brindlecove::ProcessPool;

my $mib = $ENV{PROCPOOL_BULK_MIB} || 64;
my $total = $mib * 1024 * 1024;

open my $rnd, '<:raw', '/dev/urandom' or plan skip_all => "no /dev/urandom: $!";
my $data = '';
while (length $data < $total) {
    my $n = read($rnd, $data, $total - length $data, length $data);
    die "read /dev/urandom: $!" unless $n;
}
close $rnd;

my $echo = sub {
    while (1) {
        my $n = sysread(STDIN, my $buf, 65536);
        POSIX::_exit(0) unless $n;
        my $off = 0;
        while ($off < $n) {
            my $w = syswrite(STDOUT, $buf, $n - $off, $off);
            POSIX::_exit(3) unless defined $w;
            $off += $w;
        }
    }
};

my $pool = Brindlecove::ProcessPool->new(1);
$pool->start_long(0, $echo);
my ($wfd, $rfd) = ($pool->wfd(0), $pool->rfd(0));

local $SIG{ALRM} = sub { die "timed out\n" };
alarm 120;
my $t0 = Time::HiRes::time();
# Writes go in pieces of PIPE_BUF: a blocking pipe that select reports
# writable takes that much without blocking, so the loop never stalls
# while the worker waits for us to read.
my $piece = 4096;
my ($sent, $got, $calls_w, $calls_r, $werr, $rerr) = (0, '', 0, 0, 0, 0);
while (length $got < $total) {
    my ($rin, $win) = ('', '');
    vec($rin, $rfd, 1) = 1;
    vec($win, $wfd, 1) = 1 if $sent < $total;
    my $nready = select(my $rout = $rin, my $wout = $win, undef, 10);
    last if $nready <= 0;
    if ($sent < $total && vec($wout, $wfd, 1)) {
        my $n = Brindlecove::ProcessPool::writefd($wfd, substr($data, $sent, $piece));
        $calls_w++;
        if (defined $n) { $sent += $n } else { $werr++; last }
    }
    if (vec($rout, $rfd, 1)) {
        my $n = Brindlecove::ProcessPool::readfd($rfd, $got, 65536, length $got);
        $calls_r++;
        if (!defined $n) { $rerr++; last }
        last if $n == 0;    # the worker ended early
    }
}
my $secs = Time::HiRes::time() - $t0;
alarm 0;

is($werr + $rerr, 0, 'no write or read failed');
is($sent, $total, "all $total bytes written");
is(length $got, $total, "all $total bytes read back");
ok($got eq $data, 'byte-exact') or do {
    my $i = 0; $i++ while $i < length $got && substr($got, $i, 1) eq substr($data, $i, 1);
    diag("first difference at byte $i");
};
# the stop closes wfd first: the worker may see end of input (0, 0) before
# SIGINT ends it (0, 2); either shows it was alive to the end
my @st = $pool->stop(0);
ok(@st == 2 && $st[0] == 0 && ($st[1] == 0 || $st[1] == 2), "worker alive to the end, stop gave (@st)");
$pool->_free;
diag(sprintf "%d MiB in %.2f s, %d writes, %d reads", $mib, $secs, $calls_w, $calls_r)
    if $ENV{PROCPOOL_FIGURES};
done_testing;
