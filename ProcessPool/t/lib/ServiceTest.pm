package ServiceTest;

# What a test of the worker service checks around each service: the
# children this process has, and its open descriptors.

use strict;
use warnings;
use Exporter 'import';

our @EXPORT_OK = qw(children fds);

# Process ids whose parent is this process (zombies included).
sub children {
    my @kids;
    opendir(my $d, '/proc') or die "no /proc: $!";
    for my $pid (grep { /^\d+\z/ } readdir $d) {
        open(my $fh, '<', "/proc/$pid/stat") or next;
        my $stat = <$fh>;
        next unless defined $stat && $stat =~ /\)\s+\S+\s+(\d+)/;
        push @kids, $pid if $1 == $$;
    }
    return sort { $a <=> $b } @kids;
}

# This process's open descriptors, with what each one is.
sub fds {
    opendir(my $d, '/proc/self/fd') or die "no /proc/self/fd: $!";
    my @fds = grep { /^\d+\z/ } readdir $d;
    my $mine = fileno $d;
    return join ' ', map { "$_=" . (readlink("/proc/self/fd/$_") // '?') }
        sort { $a <=> $b } grep { $_ != $mine && -e "/proc/self/fd/$_" } @fds;
}

1;
