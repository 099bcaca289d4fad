use strict;
use warnings;
use Test::More;
use lib 't/lib';
use PmapRun;

# examples/pmap as a program: what it maps, its options, its failures.
plan skip_all => 'examples/pmap not found (run from the distribution directory)'
    unless -f PMAP;

sub show { my ($r) = @_; diag("rc $r->{rc}, sig " . ($r->{sig} // '-') . ", stderr: $r->{err}") }

subtest 'output keeps input order whatever the workers take' => sub {
    # records take 0, 1 or 2 ms, so blocks come back out of order
    my $input = join '', map { "$_\n" } 1 .. 3000;
    my $r = pmap_run(['-j', 3, '-e', 'select(undef, undef, undef, 0.001 * ($_ % 3)) if $_ % 7 == 0; "<$_>"'],
                     stdin => $input);
    is($r->{rc}, 0, 'exit status 0') or show($r);
    ok($r->{out} eq join('', map { "<$_>\n" } 1 .. 3000), 'results in input order');
    is($r->{err}, '', 'nothing on stderr');

    # enough records for many blocks in flight on every worker
    my $big = join '', map { "r$_\n" } 1 .. 200_000;
    $r = pmap_run(['-j', 4, '-t', 'cat'], stdin => $big);
    ok($r->{rc} == 0 && $r->{out} eq $big, '200000 records come back identical and in order') or show($r);
};

subtest 'any bytes go through unharmed, separators as given' => sub {
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
        [ 'long records', ('x' x 300_000) . "\tend\n" . ('y=' x 70_000) ],
        [ 'a 3 MB record among short ones', "a\n" . ('z' x 3_000_000) . "\nb\n" ],
    );
    for my $c (@cases) {
        my ($name, $input) = @$c;
        my $r = pmap_run(['-j', 2, '-t', 'cat'], stdin => $input);
        ok($r->{rc} == 0 && $r->{out} eq $input, "cat: $name") or show($r);
    }
    my $input = join '', map { $_->[1] } @cases[0 .. 6];
    my $r = pmap_run(['-j', 2, '-e', 'uc'], stdin => $input);
    (my $want = $input) =~ s/([^\n]*)/uc $1/ge;
    ok($r->{rc} == 0 && $r->{out} eq $want, '-e uc maps every record and keeps its newline');

    # a file without final newline followed by another: records stay apart
    # and no newline is invented between them, as cat would not add one
    my $f1 = spew('f1', "a\x{00}\nb");
    my $f2 = spew('f2', "c\n");
    $r = pmap_run(['-e', '"[$_]"', $f1, '-', $f2], stdin => "in\n");
    is($r->{out}, "[a\x{00}]\n[b][in]\n[c]\n", 'files and - in order, each last line as it was');
};

subtest '-e, -p, -M and -0' => sub {
    my $words = "alpha\nbanana\ncab\n";
    my $nul = "a\nb\0\0c\xff\0tail";
    my @cases = (
        # [ name, args, input, expected output ]
        [ '-e: the value is the record', ['-e', 'length'], $words, "5\n6\n3\n" ],
        [ '-e: undef gives an empty record', ['-e', '/n/ ? $_ : undef'], $words, "\nbanana\n\n" ],
        [ '-e: $_ changed but value returned', ['-e', 's/a/X/g'], $words, "2\n3\n1\n" ],
        [ '-p: $_ afterwards is the record', ['-p', 's/a/X/g'], $words, "XlphX\nbXnXnX\ncXb\n" ],
        [ '-p: its value is ignored', ['-p', '$_ .= "!"; 0'], $words, "alpha!\nbanana!\ncab!\n" ],
        [ '-p: a trailing comment', ['-p', 'tr/a-z/A-Z/ # shout'], $words, "ALPHA\nBANANA\nCAB\n" ],
        [ '-p: several statements', ['-p', 'my $n = length; $_ = "$n:$_";'], $words,
          "5:alpha\n6:banana\n3:cab\n" ],
        [ '-M with imports', ['-M', 'List::Util=sum,max', '-e', 'sum(split //) . "/" . max(split //)'],
          "123\n909\n", "6/3\n18/9\n" ],
        [ '-M twice, long form', ['--module', 'Digest::MD5=md5_hex', '-M', 'POSIX=floor',
          '-e', 'floor(length(md5_hex($_)) / 3)'], "x\n", "10\n" ],
        [ "-M 'Mod qw(...)'", ['-M', 'Digest::SHA qw(sha1_hex)', '-e', 'sha1_hex($_)'], "abc\n",
          "a9993e364706816aba3e25717850c26c9cd0d89d\n" ],
        [ '-0: NUL-separated records', ['-0', '-e', 'length'], $nul, "3\x{00}0\x{00}2\x{00}4" ],
        [ '--null with -p', ['--null', '-p', '$_ = reverse'], $nul, "b\na\0\0\xffc\0liat" ],
        [ '-0: newlines are data', ['-0', '-t', 'cat'], $nul, $nul ],
        [ 'a print in the code stays out of the output',
          ['-e', 'print "noise " x 5000; print STDOUT "more\n"; uc'], $words, "ALPHA\nBANANA\nCAB\n" ],
    );
    for my $c (@cases) {
        my ($name, $args, $input, $want) = @$c;
        my $r = pmap_run(['-j', 2, @$args], stdin => $input);
        ok($r->{rc} == 0 && $r->{out} eq $want, $name)
            or do { show($r); diag(explain(substr($r->{out}, 0, 200))) };
    }
    my $r = pmap_run(['-j', 2, '-e', 'print "said $_\n"; $_'], stdin => $words);
    like($r->{err}, qr/said banana/, "a worker's prints go to standard error");
};

subtest 'whole blocks are mapped as record by record would be' => sub {
    # cheap code runs inline over a block of records; what it gives must
    # not differ from calling it once per record
    use Digest::MD5 qw(md5_hex);
    use Digest::SHA qw(sha256_hex);
    my @recs = ('a1', '', 'b22', "\xe9\x00", 'x' x 100);
    my $in = join('', map { "$_\n" } (@recs) x 400);
    my $out = sub { my ($f) = @_; join '', map { $f->($_) . "\n" } (@recs) x 400 };
    my @cases = (
        [ 'scalar context, not a list', ['-e', '/(\d+)/'], "1\n" x 2000, join('', map { "a$_\n" } 1 .. 2000) ],
        [ 'empty records are records', ['-e', '"<$_>"'], $out->(sub { "<$_[0]>" }) ],
        [ 'a block of one empty record', ['-e', '"<$_>"'], "<>\n", "\n" ],
        [ 'code reading @_', ['-e', '"$_[0]!"'], $out->(sub { "$_[0]!" }) ],
        [ 'code that returns early', ['-e', 'return "-" unless length; $_'],
          $out->(sub { length $_[0] ? $_[0] : '-' }) ],
        [ 'a wide character beside bytes', ['-e', '/b/ ? "\x{263a}" : $_'],
          $out->(sub { $_[0] =~ /b/ ? "\xe2\x98\xba" : $_[0] }) ],
        [ 'a bare block is a block, not a hash', ['-e', '{ uc }'], $out->(sub { uc $_[0] }) ],
        [ 'a my variable is fresh for each record', ['-e', 'my $x .= "$_."; $x'],
          $out->(sub { "$_[0]." }) ],
        [ 'a list gives its last value', ['-e', 'lc, uc'], $out->(sub { uc $_[0] }) ],
        [ 'an expression ending in a comment', ['-e', 'uc # shout'], $out->(sub { uc $_[0] }) ],
        [ 'a statement modifier', ['-e', '"[$_]" if /b/'],
          $out->(sub { $_[0] =~ /b/ ? "[$_[0]]" : '' }) ],
        [ '-t md5', ['-t', 'md5'], $out->(sub { md5_hex($_[0]) }) ],
        [ '-t sha256', ['-t', 'sha256'], $out->(sub { sha256_hex($_[0]) }) ],
        [ '-t length', ['-t', 'length'], $out->(sub { length $_[0] }) ],
        [ '-t rev', ['-t', 'rev'], $out->(sub { scalar reverse $_[0] }) ],
        [ '-t upper', ['-t', 'upper'], $out->(sub { uc $_[0] }) ],
    );
    for my $c (@cases) {
        my ($name, $args, $want, $input) = @$c;
        my $r = pmap_run(['-j', 2, @$args], stdin => $input // $in);
        ok($r->{rc} == 0 && $r->{out} eq $want, $name) or show($r);
    }
    # a record that dies fails alone; its block's other records are mapped
    my $r = pmap_run(['-j', 2, '-e', 'die "no b\n" if /b/; uc'], stdin => $in);
    is($r->{out}, $out->(sub { uc $_[0] }) =~ s/^B22\n//mgr, 'a dying record: only it is missing');
    is(scalar(() = $r->{err} =~ /^pmap: record \d+: failed: no b$/mg), 400, 'and each is reported');
};

subtest 'errors found before any input is read' => sub {
    # standard input is a pipe that nobody writes or closes: pmap must not
    # wait for it
    my @cases = (
        # [ args, stderr pattern ]
        [ ['-e', '1 +'], qr/^pmap: in -e '1 \+': syntax error at -e line 1\b/ ],
        [ ['-p', 's/a/'], qr/^pmap: in -p 's\/a\/': Substitution replacement not terminated/ ],
        [ ['-M', 'strict', '-e', '$undeclared'], qr/^pmap: in -e '\$undeclared': Global symbol/ ],
        [ ['-M', 'No::Such::Module', '-e', '1'], qr/^pmap: in -M No::Such::Module: Can't locate No\/Such\/Module.pm/ ],
        [ ['-t', 'nosuch'], qr/^pmap: unknown task 'nosuch'/ ],
        [ ['-t', 'spin:x'], qr/^pmap: -t spin:x: spin rounds must be a positive integer/ ],
        [ ['-t', 'fail-on'], qr/^pmap: -t fail-on: fail-on needs a regular expression/ ],
        [ ['-e', '1', '-t', 'cat'], qr/exclude each other/ ],
        [ ['-e', '1', '-p', '1'], qr/exclude each other/ ],
        [ ['-M', 'POSIX'], qr/-M needs -e or -p/ ],
        [ ['-j', 0], qr/--workers must be at least 1/ ],
        [ ['--bogus'], qr/bad option/ ],
        [ ['-w', 4], qr/bad option/ ],
        [ [tmpdir() . '/does-not-exist'], qr/^pmap: \S+does-not-exist: No such file or directory$/m ],
        [ ['-t', 'cat', '-', tmpdir()], qr/^pmap: \S+: Is a directory$/m ],
    );
    for my $c (@cases) {
        my ($args, $re) = @$c;
        my $child = pmap_spawn($args);
        my $status = $child->wait(20);
        my $err = $child->err;
        my @lines = grep { /^pmap: / } split /\n/, $err;
        ok(defined $status && $status >> 8 == 2 && $err =~ $re && @lines == 1,
           "@$args: status 2, one message") or diag(explain([ $status, $err ]));
        $child->close_out;
    }
};

subtest 'failed records: reported in record order, the others go on' => sub {
    my $r = pmap_run(['-j', 2, '-t', 'fail-on:^bad'], stdin => "ok1\nbad\nok3\nbad again\nok5\n");
    is($r->{rc}, 1, 'exit status 1');
    is($r->{out}, "ok1\nok3\nok5\n", 'the other records, in order');
    is($r->{err}, "pmap: record 2: failed: record matches /^bad/\n"
                . "pmap: record 4: failed: record matches /^bad/\n", 'each failure, by number');

    # record 1 fails late, the last one at once: the reports still come in
    # record order
    my $n = 300_000;
    my $input = join '', map { "$_\n" } 1 .. $n;
    $r = pmap_run(['-j', 2, '-e', "if (\$_ == 1) { select(undef, undef, undef, 1.5); die \"first\\n\" }"
                              . " die \"last\\n\" if \$_ == $n; \$_"], stdin => $input);
    is($r->{rc}, 1, 'exit status 1');
    is($r->{err}, "pmap: record 1: failed: first\npmap: record $n: failed: last\n",
       'failures in record order, not in completion order');
    ok($r->{out} eq join('', map { "$_\n" } 2 .. $n - 1), 'every other record written');

    # numbering runs over all the inputs
    my $f = spew('three', "a\nb\nc\n");
    $r = pmap_run(['-t', 'fail-on:b', $f, $f], stdin => '');
    like($r->{err}, qr/\Apmap: record 2: failed: .*\npmap: record 5: failed: .*\n\z/,
         'record numbers count over every FILE');
};

subtest 'a record that ends its worker: only it fails, the worker is replaced' => sub {
    my $input = join '', map { "$_\n" } 1 .. 2000;
    my $r = pmap_run(['-j', 2, '-t', 'die-on:^17$'], stdin => $input);
    is($r->{rc}, 1, 'exit status 1');
    ok($r->{out} eq join('', map { "$_\n" } grep { $_ != 17 } 1 .. 2000), 'every other record mapped')
        or show($r);
    my @failed = $r->{err} =~ /^pmap: record (\d+): failed/mg;
    is("@failed", '17', 'record 17 and no other is reported');
    like($r->{err}, qr/^pmap: record 17: failed: .*(?:exit|status|3)/m, 'how its worker ended');

    # more such records than workers: the run keeps its workers to the end
    $r = pmap_run(['-j', 2, '-t', 'die-on:^\d*7$'], stdin => $input);
    is($r->{rc}, 1, 'many deaths: exit status 1');
    my @dead = grep { /7\z/ } 1 .. 2000;
    ok($r->{out} eq join('', map { "$_\n" } grep { !/7\z/ } 1 .. 2000), 'every other record mapped');
    @failed = $r->{err} =~ /^pmap: record (\d+): failed/mg;
    is("@failed", "@dead", 'each record that ended a worker is reported, in order');

    # the worker dies by a signal
    $r = pmap_run(['-j', 2, '-e', 'kill "KILL", $$ if $_ eq "x"; $_'], stdin => "a\nx\nb\n");
    is($r->{rc}, 1, 'killed worker: exit status 1');
    is($r->{out}, "a\nb\n", 'killed worker: the neighbours are answered');
    like($r->{err}, qr/^pmap: record 2: failed: .*(?:signal|KILL|9)/m, 'the signal named');
};

subtest '--stats' => sub {
    my $r = pmap_run(['-s', '-j', 3, '-t', 'md5'], stdin => join '', map { "$_\n" } 1 .. 999);
    is($r->{rc}, 0, 'exit status 0');
    like($r->{out}, qr/\A(?:[0-9a-f]{32}\n){999}\z/, '999 digests');
    like($r->{err}, qr/^pmap: 999 records, 3 workers, [\d.]+ seconds, \d+ records\/second$/m,
         'summary line');
    like($r->{err}, qr/^pmap: 0 failed, 3888 bytes in, 32967 bytes out, 0 workers ended abnormally$/m,
         'counts line');
    my @used = $r->{err} =~ /^pmap: worker \d: (\d+) records$/mg;
    my $sum = 0;
    $sum += $_ for @used;
    ok(@used == 3 && $sum == 999, 'records per worker, adding up') or diag($r->{err});
};

subtest '--help' => sub {
    my $r = pmap_run(['--help']);
    is($r->{rc}, 0, 'exit status 0');
    for my $opt ('-e, --expr', '-p, --edit', '-t, --task', '-M, --module', '-0, --null',
                 '-j, --workers', '-s, --stats', '--progress', '--no-progress', '-h, --help') {
        like($r->{out}, qr/^\s+(?:\S+, )?\Q$opt\E\b/m, "documents $opt");
    }
    like($r->{out}, qr/^\s+(?:\S+, )?\Q$_\E\b/m, "documents task $_")
        for qw(cat upper lower rev length md5 sha256 spin fail-on die-on);
    like($r->{out}, qr/^EXIT STATUS/m, 'exit statuses');
    like($r->{out}, qr/^EXAMPLES/m, 'examples');
    is($r->{err}, '', 'nothing on stderr');
    $r = pmap_run(['--help'], stdout => '/dev/full');
    ok($r->{rc} == 2 && $r->{err} =~ /^pmap: standard output: No space left on device$/m,
       '--help onto a full device: the write error is reported') or show($r);
  SKIP: {
        skip 'podchecker not found', 1 unless -x '/usr/bin/podchecker';
        my $out = `/usr/bin/podchecker ${\ PMAP } 2>&1`;
        ok($? == 0 && $out !~ /WARNING/, 'the POD is well formed') or diag($out);
    }
};

subtest 'no arguments: the built-in workload' => sub {
    my $r = pmap_run([], limit => 120);
    is($r->{rc}, 0, 'exit status 0') or show($r);
    like($r->{out}, qr/^demo: 6000 records .* spot checks ok$/m, 'short result');
    like($r->{err}, qr/^pmap: 6000 records, \d+ workers, /m, 'summary line');
};

done_testing;
