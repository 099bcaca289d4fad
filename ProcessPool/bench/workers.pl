#!/usr/bin/env perl
# bench/workers.pl - the worker service (Brindlecove::ProcessPool::Workers)
# against what a Perl programmer would otherwise run: the same handler in a
# plain serial loop, and MCE::Map with user_begin.  See the POD at the end;
# run from the distribution directory after make:
#
#     perl -Mblib bench/workers.pl [--quick] [--rounds N] [--workers N]
use strict;
use warnings;

use Brindlecove::ProcessPool::Workers;
use Getopt::Long;
use POSIX ();
use Time::HiRes qw(time);

my %opt = (rounds => 5, workers => 2);
GetOptions('quick' => \$opt{quick}, 'rounds=i' => \$opt{rounds},
           'workers=i' => \$opt{workers}, 'help' => \$opt{help})
    or die "usage: perl -Mblib bench/workers.pl [--quick] [--rounds N] [--workers N]\n";
if ($opt{help}) { system('perldoc', $0); exit 0 }
$opt{rounds} = 3 if $opt{quick} && $opt{rounds} == 5;
my $Q = $opt{quick} ? 0.25 : 1;    # scales the work per round
my $N = $opt{workers};
$| = 1;

my $have_mce = eval { require MCE::Map; MCE::Map->import; 1 };
print "MCE::Map not installed (apt-get install libmce-perl): its columns are skipped\n"
    unless $have_mce;

# About 20 microseconds of CPU per call, calibrated here.
my $spin = do {
    my $k = 1000;
    while (1) {
        my $t0 = time;
        for (1 .. 200) { my $x = 0; $x += $_ for 1 .. $k }
        my $per = (time - $t0) / 200;
        last if $per > 15e-6 || $k > 1e6;
        $k = int($k * 1.5);
    }
    my $t0 = time;
    for (1 .. 2000) { my $x = 0; $x += $_ for 1 .. $k }
    int($k * 20e-6 / ((time - $t0) / 2000)) || 1;
};

my @cases = (
    { name => 'light requests (uc of a short string)', n => int(400_000 * $Q),
      handler => sub { uc $_[0] }, target_serial => 1.0, target_mce => undef },
    { name => 'small requests (a substitution, ~2 us)', n => int(200_000 * $Q),
      handler => sub { my $r = $_[0]; $r =~ s/(\d+)/$1 * 2/e; scalar reverse $r },
      target_serial => undef, target_mce => undef },
    { name => '~20 us requests', n => int(60_000 * $Q),
      handler => sub { my $x = 0; $x += $_ for 1 .. $spin; "$_[0]:$x" },
      target_serial => 1.8, target_mce => 1.0 },
);

# What the machine gives now: N busy loops in parallel against one.  On
# a machine that others load this, not N, is the ceiling of any speed-up.
my $capacity = do {
    # long enough (about 0.1 s here) that forking and scheduling do not
    # show, also with --quick
    my $spin_for = sub { my $x = 0; $x += $_ for 1 .. 6_000_000 };
    my $t0 = time;
    $spin_for->();
    my $one = time - $t0;
    $t0 = time;
    my @kids;
    for (1 .. $N) {
        my $pid = fork // die "fork: $!";
        if (!$pid) { $spin_for->(); POSIX::_exit(0) }
        push @kids, $pid;
    }
    waitpid $_, 0 for @kids;
    $N * $one / (time - $t0);
};
printf "this machine runs %d busy processes %.2f times as fast as one (load: %s)\n",
    $N, $capacity, (split ' ', `cat /proc/loadavg`)[0];

my @report;
for my $c (@cases) {
    my $h = $c->{handler};
    my @req = map { "request $_" } 1 .. $c->{n};
    my $svc = Brindlecove::ProcessPool::Workers->new(workers => $N, handler => $h);
    my $state;
    MCE::Map->init(max_workers => $N, chunk_size => 'auto', user_begin => sub { $state = 1 })
        if $have_mce;
    my $want = join "\n", map { $h->($_) } @req[0 .. 99];

    my %run = (
        service => sub { my @r = $svc->map(@req); \@r },
        serial  => sub { my @r = map { $h->($_) } @req; \@r },
        ($have_mce ? (mce => sub { my @r = mce_map(sub { $h->($_) }, @req); \@r }) : ()),
        # the ceiling: the serial loop split over $N forked processes, as
        # if dispatching cost nothing (its replies are not brought back).
        # Each child makes its own requests before the clock starts, so
        # that neither fork nor copy-on-write of the parent's is timed.
        split => sub {
            my (@kids, @go);
            my $per = int((@req + $N - 1) / $N);
            for my $k (0 .. $N - 1) {
                pipe(my $ready_r, my $ready_w) or die "pipe: $!";
                pipe(my $go_r, my $go_w) or die "pipe: $!";
                my $pid = fork // die "fork: $!";
                if (!$pid) {
                    close $_ for $ready_r, $go_w;
                    my $to = ($k + 1) * $per;
                    $to = @req if $to > @req;
                    my @mine = map { "request $_" } $k * $per + 1 .. $to;
                    syswrite $ready_w, 'r';
                    sysread $go_r, my $b, 1;
                    my @r = map { $h->($_) } @mine;
                    POSIX::_exit(0);
                }
                close $_ for $ready_w, $go_r;
                sysread $ready_r, my $b, 1;
                push @kids, $pid;
                push @go, $go_w;
            }
            $_[0] = time;    # the clock starts now
            syswrite $_, 'g' for @go;
            waitpid $_, 0 for @kids;
            undef;
        },
    );
    my @order = sort keys %run;
    my (%t, %c);
    for my $round (1 .. $opt{rounds}) {
        # interleaved, the order turning each round
        for my $name (@order[($round % @order) .. $#order], @order[0 .. ($round % @order) - 1]) {
            my @pids = $name eq 'service' ? ($$, $svc->pids) : ($$);
            my ($t0, $c0) = (time, cpu(@pids));
            my $r = $run{$name}->($t0);
            push @{ $t{$name} }, time - $t0;
            push @{ $c{$name} }, cpu(@pids) - $c0;
            next unless $r;
            die "$name: wrong replies\n"
                unless @$r == @req && join("\n", @$r[0 .. 99]) eq $want;
        }
    }
    MCE::Map->finish if $have_mce;
    $svc->shutdown;

    my %m = map { $_ => median(@{ $t{$_} }) } keys %t;
    my %cpu = map { $_ => median(@{ $c{$_} }) } keys %c;
    printf "\n%s, %d requests, %d workers (median of %d rounds):\n", $c->{name}, $c->{n}, $N, $opt{rounds};
    printf "  %-8s %8.3f s  %6.2f us/request  (CPU %.3f s%s)\n", $_, $m{$_}, 1e6 * $m{$_} / $c->{n},
        $cpu{$_}, $_ eq 'service' ? ', parent and workers' : $_ eq 'mce' ? ', parent only' : ''
        for grep { $_ ne 'split' } sort keys %m;
    printf "  %-8s %8.3f s  %6.2f us/request  (the serial loop split over %d forks: the ceiling)\n",
        'split', $m{split}, 1e6 * $m{split} / $c->{n}, $N;
    push @report, [ "$c->{name}: service vs serial loop", $m{serial} / $m{service}, $c->{target_serial} ];
    push @report, [ "$c->{name}: CPU of parent + workers vs serial loop", $cpu{serial} / $cpu{service}, undef ];
    push @report, [ "$c->{name}: ceiling (serial loop split over forks) vs serial", $m{serial} / $m{split}, undef ];
    push @report, [ "$c->{name}: service vs MCE::Map", $m{mce} / $m{service}, $c->{target_mce} ]
        if $have_mce;
}

# map_lines: a stream of lines against one perl mapping them inline.
{
    my $lines = int(1_000_000 * $Q);
    my $file = "/tmp/workers-bench-$$.txt";
    open my $fh, '>', $file or die "$file: $!";
    print {$fh} "line number $_ of the input, in lower case\n" for 1 .. $lines;
    close $fh;
    my $svc = Brindlecove::ProcessPool::Workers->new(workers => $N, handler => sub { uc $_[0] });
    my $fast = Brindlecove::ProcessPool::Workers->new(workers => $N, handler => sub { uc $_[0] },
                                                      block_handler => sub { uc $_[0] });
    my %run = (
        inline       => sub { open my $i, '<', $file; open my $o, '>', '/dev/null'; while (<$i>) { print {$o} uc $_ } },
        map_lines    => sub { open my $i, '<', $file; open my $o, '>', '/dev/null'; $svc->map_lines($i, $o) },
        block_handler => sub { open my $i, '<', $file; open my $o, '>', '/dev/null'; $fast->map_lines($i, $o) },
    );
    my @order = sort keys %run;
    my %t;
    for my $round (1 .. $opt{rounds}) {
        for my $name (@order[($round % @order) .. $#order], @order[0 .. ($round % @order) - 1]) {
            my $t0 = time;
            $run{$name}->();
            push @{ $t{$name} }, time - $t0;
        }
    }
    $_->shutdown for $svc, $fast;
    unlink $file;
    my %m = map { $_ => median(@{ $t{$_} }) } keys %t;
    printf "\nmap_lines, upper-case of %d lines, %d workers (median of %d rounds):\n", $lines, $N, $opt{rounds};
    printf "  %-13s %8.3f s\n", $_, $m{$_} for sort keys %m;
    push @report, [ 'map_lines upper-case: handler vs one perl inline', $m{inline} / $m{map_lines}, undef ];
    push @report, [ 'map_lines upper-case: block_handler vs one perl inline', $m{inline} / $m{block_handler}, undef ];
}

print "\nRatios (how many times faster the service is; > 1 is faster;\n";
printf "the machine's own parallel speed-up was %.2f):\n", $capacity;
for my $r (@report) {
    my ($name, $ratio, $target) = @$r;
    printf "  %-62s %6.2fx %s\n", $name, $ratio,
        defined $target ? sprintf('(target >= %.1f: %s)', $target, $ratio >= $target ? 'met' : 'NOT met') : '';
}

# CPU seconds used so far by these processes (the scheduler's account).
sub cpu {
    my $t = 0;
    for my $pid (@_) {
        open(my $f, '<', "/proc/$pid/schedstat") or next;
        my ($ns) = split ' ', scalar <$f>;
        $t += $ns / 1e9;
    }
    return $t;
}

sub median {
    my @s = sort { $a <=> $b } @_;
    return @s % 2 ? $s[$#s / 2] : ($s[@s / 2 - 1] + $s[@s / 2]) / 2;
}

__END__

=head1 NAME

bench/workers.pl - the worker service against a serial loop and MCE::Map

=head1 SYNOPSIS

    cd ProcessPool && make && perl -Mblib bench/workers.pl [--quick] [--rounds N] [--workers N]

=head1 DESCRIPTION

Each comparison runs the same handler over the same requests three ways,
interleaved round by round (the order turning each round) so that a busy
machine slows all of them alike, and reports the median wall time and the
ratio of the others' time to the service's:

=over 4

=item service

C<< Brindlecove::ProcessPool::Workers->new(workers => N, handler => $h)->map(@requests) >>,
the workers started before the rounds.

=item serial

C<< map { $h->($_) } @requests >> in this process: what the program does
without workers.

=item mce

C<< MCE::Map->init(max_workers => N, chunk_size => 'auto', user_begin => ...) >>
then C<mce_map { $h->($_) } @requests>, its workers also kept between
rounds.  Skipped with a note when MCE is not installed.

=item split

The ceiling: the serial loop split over N forked processes, each on its
share of the requests (made in the child before the clock starts), with
nothing sent to them or brought back.  It
shows what the machine gives this very handler in N processes at once,
which may be much less than N (two processes sharing one core's
hyperthreads); no dispatcher can beat it.

=back

The handlers: light requests (C<uc> of a short string, well under a
microsecond), small requests (a substitution and a reverse, about 2
microseconds) and requests of about 20 microseconds of CPU (a loop
calibrated at start).  Besides wall times it shows the CPU time used
(from F</proc/PID/schedstat>): the service's counts the parent and its
workers, so on a loaded machine the CPU ratio shows the service's own
cost when the wall ratio shows mostly the load.  Targets: light requests at least as fast as the
serial loop, 20 us requests at least 1.8 times the serial loop on two
cores and at least as fast as MCE::Map.

A last comparison maps a file of lines to upper case with C<map_lines>,
once with the per-record handler and once with a C<block_handler>,
against one perl doing C<print uc> in a C<while (E<lt>E<gt>)> loop.

C<--quick> runs a quarter of the work and three rounds; C<--workers>
sets the number of workers (default 2).

=cut
