use strict;
use warnings;
use Test::More;
use File::Temp qw(tempdir);
use POSIX ();

# examples/pmap, run as a separate program with this test's @INC.
my $PMAP = 'examples/pmap';
plan skip_all => "$PMAP not found (run from the distribution directory)" unless -f $PMAP;

my $dir = tempdir(CLEANUP => 1);

sub spew {
    my ($name, $bytes) = @_;
    my $path = "$dir/$name";
    open my $fh, '>:raw', $path or die "$path: $!";
    print $fh $bytes;
    close $fh or die "$path: $!";
    return $path;
}

sub slurp {
    my ($path) = @_;
    open my $fh, '<:raw', $path or die "$path: $!";
    local $/;
    my $s = <$fh>;
    return defined $s ? $s : '';
}

# Runs pmap with the given arguments and standard input; returns its exit
# status, standard output and standard error.  Killed after $limit seconds.
sub pmap {
    my ($args, $stdin, $limit) = @_;
    $limit ||= 60;
    my $in = spew('stdin', defined $stdin ? $stdin : '');
    my ($out, $err) = ("$dir/stdout", "$dir/stderr");
    my $pid = fork;
    die "fork: $!" unless defined $pid;
    if ($pid == 0) {
        open STDIN, '<', $in or POSIX::_exit(126);
        open STDOUT, '>', $out or POSIX::_exit(126);
        open STDERR, '>', $err or POSIX::_exit(126);
        { no warnings "exec"; exec $^X, (map { "-I$_" } grep { !ref } @INC), $PMAP, @$args; }
        POSIX::_exit(127);
    }
    my $status;
    my $ok = eval {
        local $SIG{ALRM} = sub { die "timeout\n" };
        alarm $limit;
        waitpid($pid, 0);
        $status = $?;
        alarm 0;
        1;
    };
    if (!$ok) {
        kill 'KILL', $pid;
        waitpid($pid, 0);
        fail("pmap @$args finished within $limit s");
        return (-1, '', '');
    }
    return ($status >> 8, slurp($out), slurp($err));
}

subtest 'output keeps input order whatever the workers take' => sub {
    # records take 0, 1 or 2 ms, so replies come back out of order
    my $input = join '', map { "$_\n" } 1 .. 300;
    my ($rc, $out, $err) = pmap(['-j', 3, '-w', 4,
        '-e', 'select(undef, undef, undef, 0.001 * ($_ % 3)); "<$_>"'], $input);
    is($rc, 0, 'exit status 0');
    is($out, join('', map { "<$_>\n" } 1 .. 300), 'results in input order');
    is($err, '', 'nothing on stderr');

    # many small records, several windows per worker in flight
    my $big = join '', map { "r$_\n" } 1 .. 50000;
    ($rc, $out) = pmap(['-j', 4, '-t', 'cat'], $big);
    is($rc, 0, '50000 records: exit status 0');
    ok($out eq $big, '50000 records come back identical and in order');
};

subtest 'any bytes go through unharmed, newlines restored as given' => sub {
    my @cases = (
        [ 'every byte value, one per record',
          join('', map { chr($_) . "\n" } grep { $_ != 10 } 0 .. 255) ],
        [ 'all bytes in one record', join('', map { chr } grep { $_ != 10 } 0 .. 255) . "\n" ],
        [ 'codec-special text', "a=b c\n?q?x\n?\n_ _\n=41\n\x{00}\n=\n" ],
        [ 'CR LF and bare CR', "dos\r\nmac\rline\r\n\r\n" ],
        [ 'empty records', "\n\n\nx\n\n" ],
        [ 'no final newline', "one\ntwo\nthree" ],
        [ 'a single record without newline', "\x{ff}\x{00}\t" ],
        [ 'empty input', '' ],
        [ 'a long record', ('x' x 300_000) . "\tend\n" . ('y=' x 70_000) ],
    );
    for my $c (@cases) {
        my ($name, $input) = @$c;
        my ($rc, $out, $err) = pmap(['-j', 2, '-t', 'cat'], $input);
        ok($rc == 0 && $out eq $input, "cat: $name") or diag("rc $rc, stderr: $err");
    }
    my $input = join '', map { $_->[1] } @cases[0 .. 6];
    my ($rc, $out) = pmap(['-j', 2, '-e', 'uc'], $input);
    (my $want = $input) =~ s/([^\n]*)/uc $1/ge;
    ok($rc == 0 && $out eq $want, '-e uc maps every record and keeps its newline');

    # a file without final newline followed by another: records stay apart
    # and no newline is invented between them, as cat would not add one
    my $f1 = spew('f1', "a\x{00}\nb");
    my $f2 = spew('f2', "c\n");
    ($rc, $out) = pmap(['-e', '"[$_]"', $f1, '-', $f2], "in\n");
    is($out, "[a\x{00}]\n[b][in]\n[c]\n", 'files and - in order, each last line as it was');
};

subtest 'a failed record: reported by number, others go on, exit status 1' => sub {
    my ($rc, $out, $err) = pmap(['-j', 2, '-t', 'fail-on:^bad'], "ok1\nbad\nok3\nbad again\nok5\n");
    is($rc, 1, 'exit status 1');
    is($out, "ok1\nok3\nok5\n", 'the other records, in order');
    like($err, qr/^pmap: record 2: failed: .*\n/m, 'record 2 reported');
    like($err, qr/^pmap: record 4: failed: .*\n/m, 'record 4 reported');

    ($rc, $out, $err) = pmap(['-e', 'die "odd\n" if $_ % 2; $_'], "1\n2\n3\n4\n");
    is($rc, 1, '-e that dies: exit status 1');
    is($out, "2\n4\n", '-e that dies: the others come out');
    like($err, qr/^pmap: record 3: failed: odd$/m, '-e that dies: its message');
};

subtest 'a worker that dies: its record reported, the others go on' => sub {
    # one record in flight per worker, so the dead worker took just its own
    my $input = join '', map { "$_\n" } 1 .. 40;
    my ($rc, $out, $err) = pmap(['-j', 2, '-w', 1, '-t', 'die-on:^17$'], $input);
    isnt($rc, 0, 'exit status not 0');
    is($out, join('', map { "$_\n" } grep { $_ != 17 } 1 .. 40), 'every other record mapped');
    like($err, qr/^pmap: record 17: failed: worker \d \(pid \d+\) died/m, 'record 17 named');
    like($err, qr/^pmap: worker \d \(pid \d+\): exit status 3$/m, 'its stop result reported');
    unlike($err, qr/record (?!17:)\d+: failed/, 'no other record blamed');

    ($rc, $out, $err) = pmap(['-j', 1, '-w', 1, '-t', 'die-on:^3$'], $input);
    is($rc, 1, 'the last worker dies: exit status 1');
    is($out, "1\n2\n", 'output up to the record before');
    like($err, qr/^pmap: record 3: failed/m, 'record 3 named');
    like($err, qr/^pmap: no worker left; the last 37 records were not processed$/m,
         'the records never handed out are counted');
};

subtest '--stats and the per-worker counts' => sub {
    my ($rc, $out, $err) = pmap(['-s', '-j', 3, '-t', 'md5'], join '', map { "$_\n" } 1 .. 999);
    is($rc, 0, 'exit status 0');
    like($out, qr/\A(?:[0-9a-f]{32}\n){999}\z/, '999 digests');
    like($err, qr/^pmap: 999 records, 3 workers, [\d.]+ seconds, \d+ records\/second$/m,
         'summary line');
    my @used = $err =~ /^pmap: worker \d \(pid \d+\): (\d+) records$/mg;
    is(scalar @used, 3, 'one count per worker');
    my $sum = 0;
    $sum += $_ for @used;
    is($sum, 999, 'the counts add up to the records');
};

subtest '--help and usage errors' => sub {
    my ($rc, $out) = pmap(['--help']);
    is($rc, 0, '--help: exit status 0');
    for my $opt ('-e, --expr', '-t, --task', '-j, --workers', '-w, --window',
                 '-s, --stats', '--progress', '--no-progress', '-h, --help',
                 qw(cat upper lower rev length md5 sha256 spin fail-on die-on)) {
        like($out, qr/^\s+.*\Q$opt\E/m, "--help documents $opt");
    }
    for my $c ([ ['-t', 'nosuch'], qr/unknown task/ ],
               [ ['-e', '1 +'], qr/-e: syntax error/ ],
               [ ['-e', '1', '-t', 'cat'], qr/exclude/ ],
               [ ['-j', 0], qr/workers/ ],
               [ ['--bogus'], qr/bad option/ ],
               [ ["$dir/does-not-exist"], qr/no such file/ ]) {
        my ($rc, $out, $err) = pmap($c->[0], "x\n");
        ok($rc == 2 && $err =~ $c->[1] && $out eq '', "usage error: @{ $c->[0] }")
            or diag("rc $rc, stderr: $err");
    }
};

subtest 'no arguments: the built-in workload' => sub {
    my ($rc, $out, $err) = pmap([], '', 120);
    is($rc, 0, 'exit status 0');
    like($out, qr/^demo: 6000 records .* spot checks ok$/m, 'short result');
    like($err, qr/^pmap: 6000 records, \d+ workers, /m, 'summary line');
};

done_testing;
