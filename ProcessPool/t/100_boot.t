# Loading: the version check, what gets registered, and the open-file
# limit.  A module is bootstrapped once per process, so every load case
# runs in a child perl of its own; the registration checks look at this
# process's own load.

use strict;
use warnings;
use Test::More;
use FindBin;
use lib "$FindBin::Bin/lib";
use ChildPerl qw(run_perl shared_object);
use B ();
use DynaLoader ();

use Brindlecove::ProcessPool;

my $CLASS = 'Brindlecove::ProcessPool';
my @NAMES = qw(new _free slots stop start_long inc wfd used pid efd rfd
               rfds efds wfds writefd readfd encode_kv decode_kv);

my $SO = shared_object();
ok($SO, 'the shared object is found on @INC') or BAIL_OUT('no shared object');

# The open-file limit pair of a process, from the kernel's own report.
sub nofile_limits {
    my ($text) = @_;
    my ($soft, $hard) = $text =~ /^Max open files\s+(\S+)\s+(\S+)/m or return;
    return ($soft, $hard);
}
my $limits_text = do {
    local $/;
    my $fh;
    open($fh, '<', '/proc/self/limits') ? <$fh> : '';
};
my (undef, $HARD) = nofile_limits($limits_text);
# Lowering the soft limit to 256 in a child needs a hard limit above it.
my $CAN_LOWER = defined $HARD && $HARD =~ /^\d+$/ && $HARD > 256;

# ---------------------------------------------------------------------------
# Version check.  The child loads the shared object itself and calls the
# bootstrap entry with the arguments of the case, so the variables the
# check consults are exactly those the case sets up (and no others exist).

my $BOOT_CHILD = <<'PERL';
use strict;
use warnings;
use DynaLoader ();
use Data::Dumper ();

sub soft_nofile {
    open my $fh, '<', '/proc/self/limits' or return undef;
    while (<$fh>) { return $1 if /^Max open files\s+(\S+)/ }
    return undef;
}

my $so = shift @ARGV;
my @names = @ARGV;

#SETUP#

my $before = soft_nofile();
my $lib = DynaLoader::dl_load_file($so, 0)
    or die 'dl_load_file: ' . DynaLoader::dl_error();
my $sym = DynaLoader::dl_find_symbol($lib, 'boot_Brindlecove__ProcessPool')
    or die 'dl_find_symbol: ' . DynaLoader::dl_error();
my $boot = DynaLoader::dl_install_xsub('Brindlecove::ProcessPool::bootstrap', $sym, $so);

my @warnings;
local $SIG{__WARN__} = sub { push @warnings, $_[0] };
my $ret = eval { $boot->(#ARGS#) };
my $err = $@;
my $after = soft_nofile();

no strict 'refs';
my %r = (
    loaded     => ($err eq '' ? 1 : 0),
    ret        => $ret,
    err        => $err,
    registered => [ grep { defined &{"Brindlecove::ProcessPool::$_"} } @names ],
    before     => $before,
    after      => $after,
    globs      => [ grep { exists $Brindlecove::ProcessPool::{$_} } qw(XS_VERSION VERSION) ],
    warnings   => \@warnings,
);
print Data::Dumper->new([ \%r ])->Terse(1)->Useqq(1)->Indent(0)->Dump;
PERL

my $P = 'Brindlecove::ProcessPool';
my $XS_VERSION = "\$${P}::XS_VERSION";
my $VERSION    = "\$${P}::VERSION";

# [ case, setup code, bootstrap arguments (code), expected ]
# expected: 'load', or the text between "does not match " and " at ".
my @boot_cases = (
    # the bootstrap parameter: a string comparison with "1.00"
    [ 'parameter "1.00"',           '',                       qq{'$P', '1.00'},   'load' ],
    [ 'parameter "1.0"',            '',                       qq{'$P', '1.0'},    'bootstrap parameter 1.0' ],
    [ 'parameter "1.000"',          '',                       qq{'$P', '1.000'},  'bootstrap parameter 1.000' ],
    [ 'parameter 1.0, a number',    '',                       qq{'$P', 1.0},      'bootstrap parameter 1' ],
    [ 'parameter "1.00" and a NUL', '',                       qq{'$P', "1.00\\0"}, "bootstrap parameter 1.00\0" ],
    [ 'parameter "1.00 "',          '',                       qq{'$P', '1.00 '},  'bootstrap parameter 1.00 ' ],
    [ 'parameter undef',            '',                       qq{'$P', undef},    'bootstrap parameter ' ],
    # with a parameter the variables are not consulted
    [ 'parameter "1.00" beats a wrong XS_VERSION',
      qq{$XS_VERSION = '2.00'; $VERSION = '2.00';}, qq{'$P', '1.00'}, 'load' ],
    [ 'parameter "1.0" beats a right XS_VERSION',
      qq{$XS_VERSION = '1.00';},  qq{'$P', '1.0'},    'bootstrap parameter 1.0' ],

    # one argument: XS_VERSION first
    [ 'XS_VERSION "1.00", VERSION "9.99"',   qq{$XS_VERSION = '1.00'; $VERSION = '9.99';}, qq{'$P'}, 'load' ],
    [ 'XS_VERSION "1.00", VERSION undef',    qq{$XS_VERSION = '1.00'; $VERSION = undef;},  qq{'$P'}, 'load' ],
    [ 'XS_VERSION "1.00", no VERSION',       qq{$XS_VERSION = '1.00';},                   qq{'$P'}, 'load' ],
    [ 'XS_VERSION "1.0", VERSION "1.00"',    qq{$XS_VERSION = '1.0'; $VERSION = '1.00';},  qq{'$P'},
      "\$${P}::XS_VERSION 1.0" ],
    # XS_VERSION absent or undefined: VERSION decides
    [ 'no XS_VERSION, VERSION "1.00"',       qq{$VERSION = '1.00';},                      qq{'$P'}, 'load' ],
    [ 'XS_VERSION undef, VERSION "1.00"',    qq{$XS_VERSION = undef; $VERSION = '1.00';},  qq{'$P'}, 'load' ],
    [ 'no XS_VERSION, VERSION "1.000"',      qq{$VERSION = '1.000';},                     qq{'$P'},
      "\$${P}::VERSION 1.000" ],
    [ 'XS_VERSION undef, VERSION 1.00 (a number)', qq{$XS_VERSION = undef; $VERSION = 1.00;}, qq{'$P'},
      "\$${P}::VERSION 1" ],
    [ 'no XS_VERSION, VERSION declared but undef', qq{$VERSION = undef;},                 qq{'$P'},
      "\$${P}::VERSION " ],
    [ 'XS_VERSION undef, VERSION undef',     qq{$XS_VERSION = undef; $VERSION = undef;},   qq{'$P'},
      "\$${P}::VERSION " ],
    # nothing to compare with: no check at all
    [ 'neither variable',                    '',                                          qq{'$P'}, 'load' ],
    [ 'XS_VERSION undef, no VERSION',        qq{$XS_VERSION = undef;},                    qq{'$P'}, 'load' ],
);

for my $case (@boot_cases) {
    my ($name, $setup, $args, $expect) = @$case;
    subtest "bootstrap: $name" => sub {
        (my $code = $BOOT_CHILD) =~ s/#SETUP#/$setup/;
        $code =~ s/#ARGS#/$args/;
        my $run = run_perl(code => $code, args => [ $SO, @NAMES ],
                           $CAN_LOWER ? (shell => 'ulimit -S -n 256') : ());
        is($run->{status}, 0, 'child ran') or diag($run->{err});
        my $r = eval $run->{out};
        ok(ref $r eq 'HASH', 'child reported') or return diag("out: $run->{out}\nerr: $run->{err}");

        if ($expect eq 'load') {
            is($r->{err}, '', 'loads');
            ok($r->{ret}, 'the bootstrap returns true');
            is_deeply($r->{registered}, \@NAMES, 'all 18 names registered');
            if ($CAN_LOWER) {
                is($r->{before}, 256, 'soft limit lowered for the child');
                is($r->{after}, $HARD, 'soft limit raised to the hard limit');
            }
        } else {
            like($r->{err},
                 qr/\A\Q$P object version 1.00 does not match $expect\E at \S+ line \d+\.\n\z/,
                 'version mismatch message');
            is_deeply($r->{registered}, [], 'nothing registered');
            is($r->{after}, $r->{before}, 'soft open-file limit untouched');
        }
        # the variables are looked up, never created
        my %made = map { $_ => 1 } @{ $r->{globs} };
        ok(!$made{XS_VERSION}, 'no XS_VERSION made') unless $setup =~ /XS_VERSION/;
        ok(!$made{VERSION}, 'no VERSION made') unless $setup =~ /::VERSION\b/;
    };
}

# ---------------------------------------------------------------------------
# Open-file limit: raised at load from a lower soft limit to the hard one,
# left alone when they are already equal.  No warning either way.

my $LIMIT_CHILD = <<'PERL';
use strict;
use warnings;
sub limits {
    open my $fh, '<', '/proc/self/limits' or die "/proc/self/limits: $!";
    while (<$fh>) { return "$1 $2" if /^Max open files\s+(\S+)\s+(\S+)/ }
    die 'no open-file limit in /proc/self/limits';
}
my @warnings;
$SIG{__WARN__} = sub { push @warnings, $_[0] };
my $before = limits();
require Brindlecove::ProcessPool;
my $after = limits();
print "$before\n$after\n", scalar(@warnings), "\n", @warnings;
PERL

SKIP: {
    skip 'needs /proc/self/limits and a hard open-file limit above 256', 2 unless $CAN_LOWER;
    my @limit_cases = (
        # [ case, shell set-up, soft before, soft after ]
        [ 'soft below hard is raised',   'ulimit -S -n 256',      256,   $HARD ],
        [ 'soft equal to hard is kept',  "ulimit -S -n $HARD",    $HARD, $HARD ],
    );
    for my $case (@limit_cases) {
        my ($name, $shell, $soft_before, $soft_after) = @$case;
        my $run = run_perl(code => $LIMIT_CHILD, shell => $shell);
        my ($before, $after, $nwarn) = split /\n/, $run->{out};
        is_deeply([ $run->{status}, $before, $after, $nwarn ],
                  [ 0, "$soft_before $HARD", "$soft_after $HARD", 0 ],
                  "open-file limit: $name") or diag($run->{out}, $run->{err});
    }
}

# ---------------------------------------------------------------------------
# Registration, as this process's own load made it: 18 names served by 12
# exported native functions, the aliased ones with their index, each
# recorded as coming from the glue source ProcessPool.c.

# [ name, native function, alias index or undef ]
my @registry = (
    [ new        => 'new',        undef ],
    [ _free      => '_free',      undef ],
    [ slots      => 'slots',      undef ],
    [ stop       => 'stop',       undef ],
    [ start_long => 'start_long', undef ],
    [ inc        => 'inc',        undef ],
    [ wfd        => 'used',       3 ],
    [ used       => 'used',       0 ],
    [ pid        => 'used',       1 ],
    [ efd        => 'used',       4 ],
    [ rfd        => 'used',       2 ],
    [ rfds       => 'rfds',       0 ],
    [ efds       => 'rfds',       2 ],
    [ wfds       => 'rfds',       1 ],
    [ writefd    => 'writefd',    undef ],
    [ readfd     => 'readfd',     undef ],
    [ encode_kv  => 'encode_kv',  undef ],
    [ decode_kv  => 'decode_kv',  undef ],
);
is_deeply([ map { $_->[0] } @registry ], \@NAMES, 'registry table covers the 18 names');

# Opening the loaded object again only adds a reference to it: the
# addresses found are those the loaded module registered.
my $lib = DynaLoader::dl_load_file($SO, 0) or diag(DynaLoader::dl_error());
my %native;
for my $row (@registry) {
    my ($name, $fn, $ix) = @$row;
    no strict 'refs';
    my $cv = B::svref_2object(\&{"${CLASS}::$name"});
    my $symbol = "XS_Brindlecove__ProcessPool_$fn";
    $native{$symbol} //= DynaLoader::dl_find_symbol($lib, $symbol);
    subtest "registration of $name" => sub {
        ok($native{$symbol}, "$symbol is exported");
        is($cv->XSUB, $native{$symbol}, "served by $symbol");
        is($cv->FILE, 'ProcessPool.c', 'file is ProcessPool.c');
        is(prototype("${CLASS}::$name"), undef, 'no prototype');
        is($cv->XSUBANY, $ix, "alias index $ix") if defined $ix;
    };
}
is(scalar(keys %native), 12, '12 native functions');
is(scalar(keys %{{ map { $_ => 1 } values %native }}), 12, '... at 12 distinct addresses');

done_testing;
