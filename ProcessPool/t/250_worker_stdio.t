# The worker's Perl handles STDIN and STDOUT read and write its
# descriptors 0 and 1 from their first byte, whatever state the parent
# left its own STDIN and STDOUT in (read ahead, at end-of-file, closed,
# in memory), and with the layers the parent had pushed on them.  Each
# case runs in a child perl, whose STDIN and STDOUT it is free to change.
use strict;
use warnings;
use Test::More;
use lib 't/lib';
use ChildPerl qw(run_perl);

# The child: $setup changes the parent's handles, the worker runs $worker,
# the request is written to the worker, and the reply bytes (up to
# end-of-file) are reported in hex on a saved copy of the child's STDOUT.
my $frame = <<'PERL';
use strict;
use warnings;
use POSIX ();
use Brindlecove::ProcessPool;
alarm 20;
open(my $report, '>&', \*STDOUT) or die "dup: $!";
my ($request, $worker_code, $setup, $one_line) = @ARGV;
my $worker = eval "sub { $worker_code }" or die $@;
eval $setup; die $@ if $@;
my $pool = Brindlecove::ProcessPool->new(1);
$pool->start_long(0, $worker);
my $wfd = $pool->wfd(0);
POSIX::write($wfd, $request, length $request) == length $request or die "write: $!";
my ($reply, $buf) = ('', '');
while (1) {
    my $rin = '';
    vec($rin, $pool->rfd(0), 1) = 1;
    select(my $rout = $rin, undef, undef, 10) > 0 or last;
    my $n = POSIX::read($pool->rfd(0), $buf, 4096);
    last if !defined $n || $n == 0;    # "0 but true" at end-of-file
    $reply .= $buf;
    last if $one_line && $reply =~ /\n/;
}
my @st = $pool->stop(0);
$pool->_free;
print {$report} unpack('H*', $reply), " status @st\n";
PERL

# What the worker sees and does, by the bytes it writes back.
my $echo_line = 'my $l = <STDIN>; print defined $l ? "got:$l" : "undef\n"; exit 0';

# [ name, setup in the parent, worker code, request, expected reply ]
my @cases = (
    [ 'parent read part of a pipe on STDIN',
      'pipe(my $r, my $w) or die; syswrite $w, "one\ntwo\nthree\n"; close $w;
       open(STDIN, "<&", $r) or die; close $r; my $first = <STDIN>;',
      $echo_line, "request\n", "got:request\n" ],
    [ 'parent read STDIN to end-of-file',
      'open(STDIN, "<", "/dev/null") or die; 1 while <STDIN>; die "not at eof" unless eof STDIN;',
      $echo_line, "request\n", "got:request\n" ],
    [ 'parent closed STDIN and STDOUT',
      'close STDIN; close STDOUT;',
      $echo_line . ';', "request\n", "got:request\n" ],
    [ 'parent STDIN in memory',
      'close STDIN; open(STDIN, "<", \\"parent data\n") or die;',
      'my $l = <STDIN>; print "got:$l fd ", fileno(STDIN), "\n"; exit 0', "request\n", "got:request\n fd 0\n" ],
    [ 'the worker\'s line count starts again',
      'pipe(my $r, my $w) or die; syswrite $w, "a\nb\n"; close $w;
       open(STDIN, "<&", $r) or die; close $r; <STDIN>; <STDIN>;',
      'my $l = <STDIN>; print "$.:$l"; exit 0', "request\n", "1:request\n" ],
    [ 'STDOUT keeps :encoding(UTF-8)',
      'binmode STDOUT, ":encoding(UTF-8)";',
      'local $SIG{__WARN__} = sub { print STDOUT "warned\n" }; print "\x{263a}\n"; exit 0', "", "\xe2\x98\xba\n" ],
    [ 'STDOUT keeps :utf8',
      'binmode STDOUT, ":utf8";',
      'local $SIG{__WARN__} = sub { print STDOUT "warned\n" }; print "\x{e9}\n"; exit 0', "", "\xc3\xa9\n" ],
    [ 'STDOUT keeps :crlf',
      'binmode STDOUT, ":crlf";',
      'print "a\nb\n"; exit 0', "", "a\r\nb\r\n" ],
    [ 'STDIN keeps :encoding(UTF-8)',
      'binmode STDIN, ":encoding(UTF-8)";',
      'binmode STDOUT; my $l = <STDIN>; chomp $l; print length($l), "\n"; exit 0', "\xe2\x98\xba\xc3\xa9\n", "2\n" ],
    [ 'STDOUT keeps a :via layer',
      'package Upper { sub PUSHED { bless {}, $_[0] } sub WRITE { my $u = uc $_[1]; print {$_[2]} $u; length $_[1] } }
       binmode STDOUT, ":via(Upper)" or die "binmode: $!";',
      'print "abc\n"; exit 0', "", "ABC\n" ],
    [ 'no layers added to plain handles',
      '',
      'print join(",", PerlIO::get_layers(STDIN)), ";", join(",", PerlIO::get_layers(STDOUT)), "\n"; exit 0',
      "", "unix,perlio;unix,perlio\n" ],
    [ 'a file the worker opens for reading does not take STDOUT\'s slot',
      '',
      'my @w; local $SIG{__WARN__} = sub { push @w, $_[0] };
       open(my $fh, "<", "/dev/null") or die; print @w ? "warned: @w" : "quiet\n"; exit 0',
      "", "quiet\n" ],
    [ 'autoflush on STDOUT is kept',
      'STDOUT->autoflush(1);',
      'print "first\n"; sleep 1 for 1 .. 30; exit 0', "", "first\n", 'stops' ],
);

for my $case (@cases) {
    my ($name, $setup, $worker, $request, $want, $stops) = @$case;
    my $run = run_perl(code => $frame, args => [ $request, $worker, $setup, $stops ? 1 : 0 ]);
    my ($hex, $status) = $run->{out} =~ /^([0-9a-f]*) status (.*)$/m;
    is(defined $hex ? pack('H*', $hex) : $run->{out} . $run->{err}, $want, $name);
    is($status, $stops ? '0 2' : '0 0', "$name: the worker's end") if defined $status;
}

done_testing;
