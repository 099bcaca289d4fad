# Perl code that runs inside the pool methods: start_long's flush of every
# handle (an I/O layer's FLUSH that frees the pool or dies), and a tied
# self whose FETCH answers differently each time.
use strict;
use warnings;
use Test::More;
use POSIX ();
use lib 't/lib';
use WorkerTest qw(fd_count);
use ChildPerl qw(run_perl);
use Brindlecove::ProcessPool;

my $CLASS = 'Brindlecove::ProcessPool';
alarm 60;

# A :via layer whose FLUSH runs a given piece of code once.
{
    package OnFlush;
    our $code;
    sub PUSHED { bless {}, $_[0] }
    sub WRITE { length $_[1] }
    sub FLUSH { if (my $c = $code) { undef $code; $c->() } 0 }
}

sub quick_worker { sub { POSIX::_exit(0) } }

# [ what, the FLUSH's code (given the pool), expected error ]
my @flushes = (
    [ 'frees the pool', sub { $_[0]->_free }, qr/^self is a released \Q$CLASS\E/ ],
    [ 'dies',           sub { die "flush failed\n" }, qr/^flush failed$/ ],
);
for my $case (@flushes) {
    my ($what, $code, $re) = @$case;
    my $pool = $CLASS->new(2);
    open(my $fh, '>:via(OnFlush)', '/dev/null') or die "open: $!";
    print {$fh} 'pending';
    my $before = fd_count();
    local $OnFlush::code = sub { $code->($pool) };
    ok(!eval { $pool->start_long(1, quick_worker()); 1 }, "a FLUSH that $what: start_long croaks");
    like($@, $re, '... with its error');
    is(fd_count(), $before, '... and leaves no descriptor open');
    is(waitpid(-1, POSIX::WNOHANG()), -1, '... and no worker');
    close $fh;
    if ($what eq 'frees the pool') {
        ok(!eval { $pool->slots; 1 }, '... the pool is released');
    } else {
        is_deeply([ $pool->slots ], [], '... the slot is untouched');
        $pool->start_long(1, quick_worker());
        ok($pool->pid(1) > 0, '... and the pool still launches');
        $pool->stop(1);
        $pool->_free;
    }
}

# The same through an encoding layer under fatal warnings: the character
# that latin1 cannot hold makes the flush die.  The character stays
# pending in the layer and would fail the exit of this perl too, so the
# case runs in a child that leaves by _exit.
{
    my $run = run_perl(code => <<'PERL');
use strict;
use warnings;
use POSIX ();
use lib 't/lib';
use WorkerTest qw(fd_count);
use Brindlecove::ProcessPool;
alarm 20;
$| = 1;    # it leaves by _exit
my $pool = Brindlecove::ProcessPool->new(1);
open(my $fh, '>:encoding(latin1)', '/dev/null') or die "open: $!";
my $before = fd_count();
my $ok = eval {
    use warnings FATAL => 'all';
    print {$fh} "\x{263a}";
    $pool->start_long(0, sub { POSIX::_exit(0) });
    1;
};
my $err = $@;
$err =~ s/\n//g;
print $ok ? "launched\n" : "croaked $err\n";
print "descriptors ", fd_count() - $before, "\n";
print "worker ", waitpid(-1, POSIX::WNOHANG()), "\n";
$pool->_free;
POSIX::_exit(0);
PERL
    like($run->{out}, qr/^croaked .*does not map/m,
         'an :encoding flush that dies under fatal warnings: start_long croaks');
    like($run->{out}, qr/^descriptors 0$/m, '... and leaves no descriptor open');
    like($run->{out}, qr/^worker -1$/m, '... and no worker');
}

# A tied self is read once per call: a FETCH that answers pool A, then B.
{
    package Alternate;
    sub TIESCALAR { my ($c, @pools) = @_; bless { pools => \@pools, n => 0 }, $c }
    sub FETCH { my $s = shift; $s->{pools}[ $s->{n}++ % @{ $s->{pools} } ] }
}
{
    my ($a, $b) = ($CLASS->new(1), $CLASS->new(1));
    tie my $self, 'Alternate', $a, $b;
    Brindlecove::ProcessPool::_free($self);
    is(tied($self)->{n}, 1, '_free through a tied self fetches it once');
    ok(!eval { $a->slots; 1 }, '... the pool it freed is the one marked released');
    like($@, qr/^self is a released/, '... and refused');
    is(scalar $b->slots, 0, '... the other pool is untouched');
    untie $self;
    $b->_free;
}
{
    my $pool = $CLASS->new(2);
    # [ method, arguments after self ]
    for my $m ([slots => []], [rfds => []], [pid => [0]], [inc => [0]], [stop => [0]],
               [start_long => [0, quick_worker()]], [stop => [0]]) {
        my ($name, $args) = @$m;
        tie my $self, 'Alternate', $pool;
        $CLASS->can($name)->($self, @$args);
        is(tied($self)->{n}, 1, "$name through a tied self fetches it once");
        untie $self;
    }
    is_deeply([ $pool->slots ], [], 'every worker was stopped');
    $pool->_free;
}

done_testing;
