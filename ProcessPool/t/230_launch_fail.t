# Failed launches: descriptors running out at each of the three pipes,
# and a failed fork.  Each runs in a child perl under a limit of its own;
# the failed launch must report which step failed and leave no
# descriptor of its own open.
use strict;
use warnings;
use Test::More;
use POSIX ();
use lib 't/lib';
use WorkerTest qw(perl_cmd);

alarm 120;
my $errtext = sub { local $! = shift; "$!" };

# Fills the descriptor table, then frees exactly $ARGV[0] descriptors
# and launches.  Open descriptors are found with lstat on /proc/self/fd,
# which needs no descriptor itself.
my $child = <<'PERL';
use strict;
use warnings;
use POSIX ();
use Brindlecove::ProcessPool;
$| = 1;
my ($free, $limit) = @ARGV;
sub open_fds { join ',', grep { -l "/proc/self/fd/$_" } 0 .. $limit + 8 }
my $p = Brindlecove::ProcessPool->new(1);
my @fill;
if ($free >= 0) {    # a negative count leaves the table alone
    while (defined(my $fd = POSIX::open('/dev/null', POSIX::O_RDONLY()))) { push @fill, $fd }
    print "fill_errno=", $! + 0, "\n";
    POSIX::close(pop @fill) for 1 .. $free;
}
my $before = open_fds();
my $ok = eval { $p->start_long(0, sub { $! = 0 }); 1 };
my $err = $@;
my $after = open_fds();
print "launched=", ($ok ? 1 : 0), "\n";
print "slot=", join(',', map { $p->$_(0) } qw(pid used rfd wfd efd)), "\n";
print "leak=", ($before eq $after ? 'none' : "before $before after $after"), "\n";
# With room again the same pool launches into the slot.
POSIX::close($_) for @fill;
if (!$ok && eval { $p->start_long(0, sub { $! = 0 }); 1 }) {
    vec(my $rin = '', $p->rfd(0), 1) = 1;
    select($rin, undef, undef, 10);    # its end
    print "relaunch=", join(',', $p->stop(0)), "\n";
}
print "err=$err";
$p->_free;
PERL

sub run_child {
    my ($prefix, @args) = @_;
    my $pid = open(my $out, '-|') // die "fork: $!";
    if (!$pid) {
        open(STDERR, '>&', \*STDOUT);
        exec(@$prefix, perl_cmd(), '-e', $child, '--', @args) or POSIX::_exit(127);
    }
    local $/;
    my $text = <$out>;
    close $out;
    my %r = $text =~ /^(\w+)=(.*)$/mg;
    $r{text} = $text;
    return \%r;
}

my $limit = 20;
my $emfile = $errtext->(POSIX::EMFILE());
for my $case ([0, "can't create pipe for Kelbrin's input"],
              [2, "can't create pipe for Torsh's output"],
              [4, "can't create pipe for Torsh errors"]) {
    my ($free, $msg) = @$case;
    subtest "$free descriptors free: $msg" => sub {
        my $r = run_child(['sh', '-c', "ulimit -n $limit && exec \"\$@\"", 'sh'], $free, $limit);
        is($r->{fill_errno}, POSIX::EMFILE(), 'the table was filled') or diag $r->{text};
        is($r->{launched}, 0, 'launch failed');
        like($r->{err}, qr/^\Q$msg: $emfile\E at -e line \d+\.$/, 'exact message with the error text');
        is($r->{leak}, 'none', 'no descriptor left open');
        is($r->{slot}, '0,0,0,0,0', 'slot untouched');
        is($r->{relaunch}, '1,0', 'a later launch into the slot works');
    };
}

# A fork failure needs a process limit that binds, which it does not for
# root: the child perl runs as nobody with a limit of one process.
subtest 'fork fails' => sub {
    my @prefix;
    if ($> == 0) {
        my $nobody = getpwnam('nobody');
        my ($setpriv) = grep { -x } map { "$_/setpriv" } split /:/, $ENV{PATH} // '';
        my ($prlimit) = grep { -x } map { "$_/prlimit" } split /:/, $ENV{PATH} // '';
        plan skip_all => 'needs setpriv, prlimit and a nobody user to drop root'
            unless defined $nobody && $setpriv && $prlimit;
        @prefix = ($prlimit, '--nproc=1', $setpriv, "--reuid=$nobody", "--regid=$nobody",
                   '--clear-groups');
    } else {
        @prefix = ('sh', '-c', 'ulimit -u 1 && exec "$@"', 'sh');
    }
    my $r = run_child(\@prefix, -1, 64);
    plan skip_all => "could not run perl under a process limit: $r->{text}"
        unless defined $r->{launched};
    plan skip_all => 'the process limit does not bind here' if $r->{launched};
    my $eagain = $errtext->(POSIX::EAGAIN());
    like($r->{err}, qr/^\Qcan't fork to run kelbrin\/torsh: $eagain\E at -e line \d+\.$/,
         'exact message with the error text');
    is($r->{leak}, 'none', 'all six descriptors closed');
    is($r->{slot}, '0,0,0,0,0', 'slot untouched');
};

done_testing;
