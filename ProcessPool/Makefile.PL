# The oldest perl the module is built and tested on (tools/perls.sh).
use 5.032;
use strict;
use warnings;
use ExtUtils::MakeMaker;
use Config;

# The module is C++17: the xsubpp glue and every source go through g++.
my @sources = qw(convert pool worker fdio kvcodec kvglue boot);

WriteMakefile(
    NAME          => 'Brindlecove::ProcessPool',
    VERSION_FROM  => 'lib/Brindlecove/ProcessPool.pm',
    ABSTRACT_FROM => 'lib/Brindlecove/ProcessPool.pm',
    AUTHOR        => 'Brindlecove::ProcessPool developers',
    LICENSE       => 'perl',
    MIN_PERL_VERSION => '5.032',
    CC            => $ENV{PROCPOOL_CXX} || 'g++',
    LD            => $ENV{PROCPOOL_CXX} || 'g++',
    CCFLAGS       => "$Config{ccflags} -std=c++17 -Wall -Wextra "
                     . ($ENV{PROCPOOL_EXTRA_CFLAGS} || ''),
    LDDLFLAGS     => "$Config{lddlflags} -Wl,-z,now " . ($ENV{PROCPOOL_EXTRA_LDFLAGS} || ''),
    OPTIMIZE      => $ENV{PROCPOOL_OPTIMIZE} || '-O2 -g',
    INC           => '-I. -Isrc',
    XSOPT         => '-noversioncheck',
    OBJECT        => join(' ', 'ProcessPool$(OBJ_EXT)', map { "src/$_\$(OBJ_EXT)" } @sources),
    depend        => {
        map({ ("src/$_\$(OBJ_EXT)" => 'src/procpool.h src/host.h src/kvcodec.h ppport.h') } @sources),
        'ProcessPool$(OBJ_EXT)' => 'src/procpool.h src/host.h ppport.h',
    },
    clean         => { FILES => 'src/*$(OBJ_EXT) fuzz/kv_fuzz' },
    test          => { TESTS => 't/*.t' },
    # build-* copies (sanitizer builds) carry a Makefile.PL of their own:
    # they are not sub-distributions of this one.
    DIR           => [],
);

package MY;

# MakeMaker's suffix rules leave objects in the current folder; the C++
# sources live in src/, so name the object beside its source.
sub c_o {
    my $rules = shift->SUPER::c_o(@_);
    $rules =~ s/(\$\*\.cpp)\n/$1 -o \$\@\n/;
    return $rules;
}

# "make fuzz" builds the codec's libFuzzer target and runs it for
# FUZZ_SECONDS (default 60).
sub postamble {
    return <<'MAKE';
FUZZ_SECONDS = 60

fuzz :
	sh fuzz/run.sh $(FUZZ_SECONDS)

.PHONY : fuzz
MAKE
}
