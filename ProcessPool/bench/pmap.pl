#!/usr/bin/env perl
# bench/pmap.pl - examples/pmap against what a Perl user would otherwise
# run for the same map: one plain perl, GNU parallel --pipe -k, and
# MCE::Map's mce_map_f, side by side in one run.  See the POD at the end;
# run from the distribution directory after make:
#
#     perl -Mblib bench/pmap.pl [--quick] [--rounds N] [--only WORKLOAD]
use strict;
use warnings;

use Cwd ();
use Digest::MD5 ();
use File::Compare ();
use File::Temp qw(tempdir);
use Getopt::Long qw(:config pass_through);
use POSIX ();
use Time::HiRes qw(time);

my %opt = (rounds => 3, workers => 2);
GetOptions('quick' => \$opt{quick}, 'rounds=i' => \$opt{rounds}, 'workers=i' => \$opt{workers},
           'only=s' => \$opt{only}, 'keep' => \$opt{keep}, 'help' => \$opt{help})
    or die "usage: perl -Mblib bench/pmap.pl [--quick] [--rounds N] [--workers N] [--only NAME]\n";
if ($opt{help}) { system('perldoc', $0); exit 0 }
$opt{rounds} = 1 if $opt{quick} && $opt{rounds} == 3;
my $J = $opt{workers};
my $SCALE = $opt{quick} ? 0.1 : 1;

$| = 1;
my $PMAP = Cwd::abs_path('examples/pmap') // die "examples/pmap not found (run from the distribution directory)\n";
my @INCS = map { '-I' . Cwd::abs_path($_) } grep { !ref && -d } @INC;
my $DIR = tempdir(CLEANUP => !$opt{keep});

# Input lines of 40 to 54 letters (48 bytes a line with its newline, on
# average), cut at moving offsets from a fixed pseudo-random pool.
sub make_input {
    my ($path, $count) = @_;
    my $x = 12345;
    my $pool = '';
    for (1 .. 8192) {
        $x = ($x * 1103515245 + 12345) % 2147483648;
        $pool .= chr(97 + ($x >> 16) % 26);
    }
    $pool .= ' ' x 0;
    open my $fh, '>:raw', $path or die "$path: $!";
    my $buf = '';
    for my $i (1 .. $count) {
        $buf .= substr($pool, ($i * 7919) % 8000, 40 + $i % 15) . "\n";
        if (length $buf > 1 << 20) { print $fh $buf; $buf = '' }
    }
    print $fh $buf;
    close $fh or die "$path: $!";
    return $path;
}

# The MD5 chain length that takes about a millisecond here (the ~1 ms
# workload); measured once, used by every contender.
sub spin_rounds {
    my $d = 'calibrate';
    my $n = 2000;
    my $t0 = time;
    $d = Digest::MD5::md5($d) for 1 .. $n;
    my $dt = time - $t0;
    $t0 = time;
    $d = Digest::MD5::md5($d) for 1 .. $n;
    $dt = time - $t0 if time - $t0 < $dt;
    return int($n * 0.001 / $dt) || 1;
}

my $N = spin_rounds();
my %code = (
    # [ perl -e one-liner body (per line, $_ chomped where -l), pmap -e, MCE block ]
    upper => {
        perl  => ['-pe', '$_ = uc'],
        pmap  => ['-e', 'uc'],
        mce   => 'uc',
    },
    sha256 => {
        perl  => ['-MDigest::SHA=sha256_hex', '-lne', 'print sha256_hex($_)'],
        pmap  => ['-M', 'Digest::SHA=sha256_hex', '-e', 'sha256_hex($_)'],
        mce   => 'chomp; Digest::SHA::sha256_hex($_) . "\n"',
        use   => 'use Digest::SHA ();',
    },
    spin => {
        perl  => ['-MDigest::MD5=md5', '-lne', "my \$d = \$_; \$d = md5(\$d) for 1 .. $N; print unpack('H*', \$d)"],
        pmap  => ['-M', 'Digest::MD5=md5', '-e', "my \$d = \$_; \$d = md5(\$d) for 1 .. $N; unpack('H*', \$d)"],
        mce   => "chomp; my \$d = \$_; \$d = Digest::MD5::md5(\$d) for 1 .. $N; unpack('H*', \$d) . \"\\n\"",
        use   => 'use Digest::MD5 ();',
    },
);
my @workloads = (
    [ 'upper',  'upper-case of 1M lines',   int(1_000_000 * $SCALE) ],
    [ 'sha256', 'sha256 hex of 1M lines',   int(1_000_000 * $SCALE) ],
    [ 'spin',   "~1 ms of CPU a line ($N MD5 rounds)", int(6000 * $SCALE) ],
);
@workloads = grep { $_->[0] eq $opt{only} } @workloads if $opt{only};
die "no workload named $opt{only}\n" unless @workloads;

my $have_parallel = system('parallel --version >/dev/null 2>&1') == 0;
my $have_mce = eval { require MCE::Map; 1 };

# The contenders for one workload: name => command (list) reading standard
# input or the file named by %IN%.
sub contenders {
    my ($w) = @_;
    my $c = $code{$w};
    my @list = (
        [ 'perl', [ $^X, @{ $c->{perl} } ] ],
        [ 'pmap', [ $^X, @INCS, $PMAP, '-j', $J, @{ $c->{pmap} } ] ],
    );
    # the ceiling: the same perl twice at once, each on half of the
    # input, as if splitting, ordering and joining cost nothing
    push @list, [ 'halves', [ '/bin/sh', '-c',
        'h1=$1 h2=$2 o1=$3 o2=$4; shift 4; "$@" < "$h1" > "$o1" & p=$!; "$@" < "$h2" > "$o2" || exit 1; wait $p',
        'sh', '%H1%', '%H2%', '%O1%', '%O2%', $^X, @{ $c->{perl} } ] ]
        if $J == 2;
    push @list, [ 'parallel', [ 'parallel', '--will-cite', '--pipe', '-k', '-j', $J, '-q', $^X, @{ $c->{perl} } ] ]
        if $have_parallel;
    if ($have_mce) {
        my $script = ($c->{use} // '') . 'use MCE::Map; binmode STDOUT;'
                   . "MCE::Map->init(max_workers => $J, chunk_size => 'auto');"
                   . "print mce_map_f { $c->{mce} } \$ARGV[0]; MCE::Map->finish;";
        push @list, [ 'mce', [ $^X, '-e', $script, '%IN%' ] ];
    }
    return @list;
}

# Runs one command with its input and output files; returns wall seconds
# and the CPU seconds (user + system) of it and everything it waited for.
# Each command runs in a process group of its own, so that an interrupted
# benchmark can end it with everything it started (workers, jobs).
my $CURRENT;
for my $sig (qw(INT TERM HUP)) {
    $SIG{$sig} = sub {
        if ($CURRENT) {
            kill 'TERM', -$CURRENT;
            my $end = time + 2;
            Time::HiRes::sleep(0.05) while kill(0, -$CURRENT) && time < $end;
            kill 'KILL', -$CURRENT;
            waitpid($CURRENT, 0);
        }
        $SIG{$sig} = 'DEFAULT';
        kill $sig, $$;
        exit 1;
    };
}

sub run_one {
    my ($cmd, $in, $out, $err) = @_;
    my %ph = ('%IN%' => $in, '%H1%' => "$in.h1", '%H2%' => "$in.h2",
              '%O1%' => "$out.1", '%O2%' => "$out.2");
    my @cmd = map { $ph{$_} // $_ } @$cmd;
    my @c0 = (times)[2, 3];
    my $t0 = time;
    my $pid = fork // die "fork: $!";
    if (!$pid) {
        POSIX::setpgid(0, 0);
        $SIG{$_} = 'DEFAULT' for qw(INT TERM HUP);
        open STDIN, '<', $in or POSIX::_exit(126);
        open STDOUT, '>', $out or POSIX::_exit(126);
        open STDERR, '>', $err or POSIX::_exit(126);
        exec @cmd or POSIX::_exit(127);
    }
    $CURRENT = $pid;
    waitpid($pid, 0);
    my $status = $?;
    undef $CURRENT;
    my $dt = time - $t0;
    my @c1 = (times)[2, 3];
    # nothing it started may live on (a worker left behind would also
    # take a processor from the next contender)
    kill 'KILL', -$pid;
    if ($status) {
        my $msg = do { local (@ARGV, $/) = ($err); <> } // '';
        die "$cmd[0] ... failed (status $status): $msg";
    }
    if (grep { $_ eq '%O1%' } @$cmd) {
        # the halves' outputs, joined after the clock stopped
        open my $o, '>:raw', $out or die "$out: $!";
        for my $part ("$out.1", "$out.2") {
            open my $p, '<:raw', $part or die "$part: $!";
            local $/ = \(1 << 20);
            print {$o} $_ while <$p>;
            unlink $part;
        }
        close $o or die "$out: $!";
    }
    return ($dt, $c1[0] + $c1[1] - $c0[0] - $c0[1]);
}

# The input cut in two at the line nearest its middle, for the halves.
sub split_halves {
    my ($in) = @_;
    open my $fh, '<:raw', $in or die "$in: $!";
    my $all = do { local $/; <$fh> };
    my $mid = index($all, "\n", int(length($all) / 2));
    $mid = $mid < 0 ? length $all : $mid + 1;
    for ([ "$in.h1", 0, $mid ], [ "$in.h2", $mid, length($all) - $mid ]) {
        open my $o, '>:raw', $_->[0] or die "$_->[0]: $!";
        print {$o} substr($all, $_->[1], $_->[2]);
        close $o or die "$_->[0]: $!";
    }
}

sub median {
    my @s = sort { $a <=> $b } @_;
    return @s % 2 ? $s[$#s / 2] : ($s[@s / 2 - 1] + $s[@s / 2]) / 2;
}

# CPU time of the whole machine and of this benchmark with its children,
# so that the report can say how busy the machine was with other programs.
sub machine_busy {
    open my $fh, '<', '/proc/stat' or return (0, 0);
    my ($cpu) = grep { /^cpu\s/ } <$fh>;
    my @f = split ' ', $cpu;
    my $busy = 0;
    $busy += $f[$_] for 1, 2, 3, 6, 7, 8;
    return ($busy + $f[4] + $f[5], $busy);
}
sub own_cpu { my @t = times; return $t[0] + $t[1] + $t[2] + $t[3] }

# targets: [ peer, pmap speed-up over it at least ]
my %targets = (
    upper  => [ [ 'perl', 1 / 1.4 ], [ 'parallel', 2 ], [ 'mce', 2 ] ],
    sha256 => [ [ 'perl', 1.6 ], [ 'mce', 1.5 ] ],
    spin   => [ [ 'perl', 1.85 ], [ 'mce', 1.8 ] ],
);

my $ncpu = do { my $n = `nproc 2>/dev/null`; $n =~ /^(\d+)/ ? $1 : 1 };
my ($load) = do { open my $l, '<', '/proc/loadavg'; split ' ', (<$l> // '0') };
printf "pmap benchmark: perl %s, %d CPUs, %d workers, %d round%s (median), load average %s at start\n",
    $^V, $ncpu, $J, $opt{rounds}, $opt{rounds} == 1 ? '' : 's', $load;
print "  parallel (GNU) not installed: skipped (apt-get install parallel)\n" unless $have_parallel;
print "  MCE not installed: skipped (apt-get install libmce-perl)\n" unless $have_mce;

my @stat0 = machine_busy();
my $own0 = own_cpu();
my @summary;
for my $wl (@workloads) {
    my ($w, $title, $count) = @$wl;
    my $in = make_input("$DIR/$w.in", $count);
    split_halves($in);
    my @cs = contenders($w);
    my %t;
    my $ref = "$DIR/$w.ref";
    # the plain perl's output is the reference every other must equal
    run_one($cs[0][1], $in, $ref, "$DIR/err");
    my %cpu;
    for my $r (1 .. $opt{rounds}) {
        # the order turns each round, so no contender always runs first
        my @order = @cs[ map { ($_ + $r - 1) % @cs } 0 .. $#cs ];
        for my $c (@order) {
            my ($name, $cmd) = @$c;
            my $out = "$DIR/$w.$name.out";
            my ($wall, $cpu) = run_one($cmd, $in, $out, "$DIR/$w.$name.err");
            push @{ $t{$name} }, $wall;
            push @{ $cpu{$name} }, $cpu;
            File::Compare::compare($out, $ref) == 0
                or die "$name: output of '$w' differs from one perl's (kept in $out)\n";
            unlink $out;
        }
    }
    my %m = map { $_ => median(@{ $t{$_} }) } keys %t;
    printf "%s, %d lines, %.1f MB: outputs identical\n", $title, $count, (-s $in) / 1e6;
    printf "  %-10s %8.3f s  (CPU %7.3f s)%s\n", $_->[0], $m{ $_->[0] }, median(@{ $cpu{ $_->[0] } }),
        $_->[0] eq 'pmap' ? '' : sprintf('   pmap is %6.2fx as fast', $m{ $_->[0] } / $m{pmap})
        for @cs;
    for my $tg (@{ $targets{$w} }) {
        my ($peer, $want) = @$tg;
        next unless $m{$peer};
        my $ratio = $m{$peer} / $m{pmap};
        push @summary, sprintf("  %-8s pmap vs %-9s %6.2fx  (target >= %.2fx) %s",
            $w, $peer, $ratio, $want, $ratio >= $want ? 'ok' : 'MISSED');
    }
    push @summary, sprintf("  %-8s pmap vs %-9s %6.2fx  (the ceiling: two perls on the halves at once)",
                           $w, 'halves', $m{halves} / $m{pmap}) if $m{halves};
    unlink $in, $ref, "$in.h1", "$in.h2";
}
my @stat1 = machine_busy();
my $all = $stat1[0] - $stat0[0];
my $busy = $stat1[1] - $stat0[1];
my $hz = POSIX::sysconf(POSIX::_SC_CLK_TCK()) || 100;
my $mine = (own_cpu() - $own0) * $hz;
print "ratios (time of the other / time of pmap; above 1: pmap is faster):\n";
print "$_\n" for @summary;
printf "machine: %.0f%% busy during the run, %.0f%% of it other programs%s\n",
    $all ? 100 * $busy / $all : 0, $busy ? 100 * ($busy - $mine) / $busy : 0,
    $all && ($busy - $mine) / $all > 0.1 ? ' (figures disturbed)' : '';

__END__

=head1 NAME

bench/pmap.pl - examples/pmap against one perl, GNU parallel and MCE

=head1 SYNOPSIS

  perl -Mblib bench/pmap.pl             # full run, 3 rounds
  perl -Mblib bench/pmap.pl --quick     # a tenth of the input, 1 round
  perl -Mblib bench/pmap.pl --only spin --rounds 5

=head1 DESCRIPTION

Three workloads, each run by four programs that read the same input and
must write the same bytes:

=over 4

=item upper-case of 1M lines (48 MB)

=item sha256 hex of 1M lines

=item about 1 ms of CPU a line (a chain of MD5 rounds, calibrated at the
start), 6000 lines

=back

The programs: one plain perl doing the map inline (C<perl -pe '$_ = uc'>
and the like), C<examples/pmap -j 2 -e ...>, GNU C<parallel --pipe -k -j 2>
running that same perl, and C<MCE::Map>'s C<mce_map_f> with 2 workers.
With 2 workers a fifth line, C<halves>, is the ceiling: the same plain
perl twice at once, each on one half of the input (cut at the line
nearest the middle), timed without joining their outputs; it is what
the machine gives two processes doing the work itself, with nothing
spent on splitting, ordering or joining.
Each output is compared byte for byte with the plain perl's.  The rounds
interleave the programs (turning their order), and the report gives the
median wall-clock time of each (and the CPU time it used, with every
process it started: the cost, whatever the machine's load), then the ratios against the targets:
time of the other program divided by pmap's.  Programs not installed are
skipped with a note.  The last line says how busy the machine was and how
much of that was other programs.

Options: C<--quick> (a tenth of the input, one round), C<--rounds N>,
C<--workers N> (default 2), C<--only upper|sha256|spin>, C<--keep> (keep
the files).

=cut
