# Loaded (PERL5OPT) into every perl that tools/asan.sh and tools/valgrind.sh
# start, the tests' child perls included: writes the empty file
# $PROCPOOL_LOG_STARTS/PID, by which tools/sort-logs.pl tells a started
# perl from a forked worker.  Loads nothing and leaves nothing open.
package PoolLogStart;
{
    local $!;
    my $dir = $ENV{PROCPOOL_LOG_STARTS};
    if (defined $dir && open(my $fh, '>', "$dir/$$")) { close $fh }
}
1;
