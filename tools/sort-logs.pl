#!/usr/bin/env perl
# Sorts the per-process logs of a sanitizer run (tools/asan.sh) or a
# valgrind run (tools/valgrind.sh) into what fails the run and what does
# not, prints the reports that count and one summary, and exits 1 when
# anything counts.
#
#   sort-logs.pl --tool asan|valgrind --logs DIR [--starts DIR] [--build DIR]
#
# Log names: asan.TEST.PID / ubsan.TEST.PID, or vg.TEST.PID.
#
# What counts:
#   - every ASan error, UBSan runtime error or memcheck error;
#   - a leak (ASan "Direct/Indirect leak", valgrind "definitely lost")
#     whose allocation stack holds a frame of the module.  Perl frees
#     little at exit, so leaks without such a frame are perl's own and are
#     only counted.
# Blocks of a pool that was never given to _free (allocated by new: the
# module has no destructor, the caller frees) are told apart by process:
#   - in a process that perl started (the test itself, or a perl it ran):
#     the test dropped a pool.  Listed by test; they count unless
#     ASAN_ALLOW_UNFREED_POOLS=1 (asan) or VALGRIND_ALLOW_UNFREED_POOLS=1
#     (valgrind) is set;
#   - in a forked worker: its inherited copy of the parent's pools, left
#     when the worker ends through Perl's exit while the parent still owns
#     them.  Listed by test, never counted.
# A process is a started perl when --starts DIR holds DIR/TEST/PID: the
# runs load tools/PoolLogStart.pm into every perl they start (PERL5OPT),
# which writes that file; a fork starts no perl, so it writes none.
# Without --starts every process counts as started.
use strict;
use warnings;
use Getopt::Long;

my ($tool, $dir, $starts, $build) = ('', '', undef, undef);
GetOptions('tool=s' => \$tool, 'logs=s' => \$dir, 'starts=s' => \$starts, 'build=s' => \$build)
    && $tool =~ /\A(?:asan|valgrind)\z/ && -d $dir
    or die "usage: $0 --tool asan|valgrind --logs DIR [--starts DIR] [--build DIR]\n";
my $me = $tool eq 'asan' ? 'asan.sh' : 'valgrind.sh';

# A frame of the module: its shared object or glue, a file of the build
# copy (ASan prints paths), or one of its C++ sources as valgrind shows
# them, "(pool.cpp:16)" (perl's own sources are C; the sanitizer runtime's
# .cpp files come with a path, not in parentheses).
my $module = join '|', 'ProcessPool\.(?:so|xs|c)\b', 'XS_Brindlecove__ProcessPool_', '\([\w.-]+\.cpp:\d+\)',
                       defined $build ? quotemeta("$build/") : ();
$module = qr/$module/;
my $pool_alloc = qr/\b(?:pool_create|XS_Brindlecove__ProcessPool_new)\b/;

my ($files, $errors, $mod_leaks, $perl_leaks, $vg_summary) = (0) x 5;
my (%unfreed, %worker);    # test name => blocks

# [test, pid] from a log file's name
sub owner {
    my ($f) = @_;
    my ($test, $pid) = $f =~ m{/(?:asan|ubsan|vg)\.([^/]+)\.(\d+)\z};
    return ($test // '?', $pid // 0);
}

sub started {
    my ($test, $pid) = @_;
    return 1 unless defined $starts;
    return -e "$starts/$test/$pid";
}

# A leak record through the module: a pool dropped unfreed, by whom, or
# any other module leak.
sub module_leak {
    my ($f, $rec) = @_;
    my ($first) = grep { $_ =~ $module } split /\n/, $rec;
    my ($test, $pid) = owner($f);
    if ($first =~ $pool_alloc) {
        if (started($test, $pid)) { $unfreed{$test}++ }
        else                      { $worker{$test}++ }
    } else {
        $mod_leaks++;
        print "MODULE LEAK in $f:\n$rec\n";
    }
}

my @logs = $tool eq 'asan' ? glob("$dir/asan.* $dir/ubsan.*") : glob("$dir/vg.*");
for my $f (sort @logs) {
    next unless -f $f;
    $files++;
    open my $fh, '<', $f or do { warn "$me: cannot read $f: $!\n"; next };
    my $text = do { local $/; <$fh> };
    if ($tool eq 'asan') {
        for my $b (split /\n(?=(?:Direct|Indirect) leak of |=+\n==\d+==ERROR|SUMMARY: )/, $text) {
            if ($b =~ /^(?:Direct|Indirect) leak of/) {
                if ($b =~ $module) { module_leak($f, $b) }
                else               { $perl_leaks++ }
            } elsif ($b =~ /ERROR: (?!LeakSanitizer)/ || $b =~ /runtime error:/) {
                $errors++;
                print "REPORT in $f:\n$b\n";
            }
        }
    } else {
        $vg_summary += $1 while $text =~ /ERROR SUMMARY: (\d+) errors/g;
        # records are separated by a line holding only the pid prefix
        for my $rec (split /\n==\d+== ?\n/, $text) {
            next unless $rec =~ /\S/;
            if ($rec =~ /are definitely lost in loss record/) {
                if ($rec =~ $module) { module_leak($f, $rec) }
                else                 { $perl_leaks++ }
            } elsif ($rec =~ /^==\d+== (?:Invalid |Conditional jump|Use of uninitialised|Syscall param|Source and destination overlap|Mismatched free|Argument .* of function)/m) {
                $errors++;
                print "ERROR in $f:\n$rec\n";
            }
        }
    }
}

my $sum = sub { my $n = 0; $n += $_ for values %{ $_[0] }; $n };
my ($unfreed, $worker) = ($sum->(\%unfreed), $sum->(\%worker));
my $what = $tool eq 'asan' ? 'sanitizer errors' : "memcheck errors ($vg_summary by valgrind's own summaries)";
print "$me: $files log files, $errors $what, $mod_leaks other leaks through the module, ",
      "$unfreed blocks of pools a test never gave to _free, ",
      "$worker blocks of pools inherited by workers (ignored), $perl_leaks leaks of perl's own (ignored)\n";
print "$me:   unfreed pools in $_: $unfreed{$_} blocks\n" for sort keys %unfreed;
print "$me:   pools inherited by workers of $_: $worker{$_} blocks\n" for sort keys %worker;
my $allow = $ENV{ $tool eq 'asan' ? 'ASAN_ALLOW_UNFREED_POOLS' : 'VALGRIND_ALLOW_UNFREED_POOLS' };
exit(($errors || $vg_summary || $mod_leaks || ($unfreed && !$allow)) ? 1 : 0);
