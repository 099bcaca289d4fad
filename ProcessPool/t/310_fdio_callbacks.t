# readfd and Perl code that runs inside it: a destructor of the target's
# old referent, set-magic that dies, a warning handler or a FETCH of an
# argument that rewrites the target, and a regexp as target.
use strict;
use warnings;
use Test::More;
use Brindlecove::ProcessPool;

*readfd = \&Brindlecove::ProcessPool::readfd;
alarm 30;

sub filled_pipe {
    my ($data) = @_;
    pipe(my $r, my $w) or die "pipe: $!";
    syswrite($w, $data) == length $data or die "syswrite: $!";
    return ($r, $w);
}
sub drain {
    my ($r, $w) = @_;
    close $w;
    local $/;
    my $rest = <$r>;
    return defined $rest ? $rest : '';
}

# The target holds the last reference to an object whose DESTROY rewrites
# the target.  The destructor runs after the read is complete: it sees the
# bytes read, and what it stores is what the target holds afterwards.
{
    package Rewriter;
    our @seen;
    sub DESTROY { push @seen, $main::target; undef $main::target; $main::target = 'zzz' }
}
our $target;
{
    @Rewriter::seen = ();
    $target = bless {}, 'Rewriter';
    my ($r, $w) = filled_pipe('hello');
    my $n = readfd(fileno $r, $target, 4000);
    is($n, 5, 'DESTROY rewriting the target: the count read');
    is_deeply(\@Rewriter::seen, ['hello'], '... DESTROY ran once, after the bytes were stored');
    is($target, 'zzz', '... and its value is what the target holds');
}
{
    # the same with an offset and an old string tail that DESTROY replaces
    # by a longer one: no write lands in a freed or moved buffer
    @Rewriter::seen = ();
    package Grower { our @ISA = ('Rewriter');
        sub DESTROY { push @Rewriter::seen, $main::target; $main::target = 'y' x 100_000 } }
    $target = bless [], 'Grower';
    my ($r, $w) = filled_pipe('abc');
    is(readfd(fileno $r, $target, 10, 2), 3, 'DESTROY growing the target: the count read');
    is_deeply(\@Rewriter::seen, ['abc'], '... DESTROY saw the bytes read');
    is($target, 'y' x 100_000, '... then replaced them');
}

# Set-magic that dies after the read: the exception comes out, the bytes
# were consumed, and the old referent is released all the same.
{
    package DieStore;
    sub TIESCALAR { bless {}, shift }
    sub FETCH { 'fetched' }
    sub STORE { die "no store\n" if $_[0]{armed}; }
    package Counted;
    our $destroyed = 0;
    sub DESTROY { $destroyed++ }
}
{
    my $t;
    my $tie = tie $t, 'DieStore';
    $t = bless {}, 'Counted';    # the tied scalar itself holds the reference
    $tie->{armed} = 1;
    my ($r, $w) = filled_pipe('hello');
    ok(!eval { readfd(fileno $r, $t, 10); 1 }, 'set-magic that dies: readfd dies');
    is($@, "no store\n", '... with its exception');
    is($Counted::destroyed, 1, '... and the old referent was released');
    is(drain($r, $w), '', '... after the bytes were read');
    undef $tie;
    untie $t;
}

# Argument conversions run before the target is looked at: a handler of
# the undef offset's warning, or a FETCH of toread, that turns the target
# into a reference or a long string.
{
    my ($r, $w) = filled_pipe('hellohello');
    my $t = 'abc';
    {
        use warnings;
        local $SIG{__WARN__} = sub { $t = bless {}, 'Counted' };
        local $Counted::destroyed = 0;
        is(readfd(fileno $r, $t, 5, undef), 5, 'warning handler makes the target a reference');
        is($t, 'hello', '... which counts as empty');
    }
    package FetchRewrites {
        sub TIESCALAR { bless { v => $_[1] }, $_[0] }
        sub FETCH { $main::t2 = 'x' x 5000; $_[0]{v} }
    }
    our $t2 = 'short';
    tie my $toread, 'FetchRewrites', 5;
    is(readfd(fileno $r, $t2, $toread, -1), 5, 'FETCH of toread grows the target');
    is($t2, ('x' x 4999) . 'hello', '... the offset counts from the grown end');
}

# A regexp as target is refused before anything is read: its string is
# the compiled pattern's.
for my $case (['a copy of a regexp', sub { my $copy = ${qr/abc/}; readfd($_[0], $copy, 5); $copy }],
              ['a qr object\'s regexp', sub { my $qr = qr/abc/; readfd($_[0], $$qr, 5); $qr }]) {
    my ($what, $code) = @$case;
    my ($r, $w) = filled_pipe('hello');
    ok(!eval { $code->(fileno $r); 1 }, "$what as target croaks");
    like($@, qr/^readfd target is a regexp/, '... naming the regexp');
    is(drain($r, $w), 'hello', '... before reading anything');
}

done_testing;
