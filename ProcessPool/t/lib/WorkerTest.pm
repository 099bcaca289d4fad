package WorkerTest;

# Bounded helpers for the worker tests.  Descriptors of a slot are read
# and written by number (POSIX::read/write, select on a bit vector), never
# through a Perl handle: a handle opened on a slot's descriptor would close
# it when it goes away, under the pool's feet.

use strict;
use warnings;
use Exporter 'import';
use POSIX ();
use Time::HiRes ();

our @EXPORT_OK = qw(readable read_some read_until read_to_eof send_line
                    fd_count fd_open with_stderr_to slurp perl_cmd);

# True when fd becomes readable (data or end-of-file) within $secs.
sub readable {
    my ($fd, $secs) = @_;
    my $rin = '';
    vec($rin, $fd, 1) = 1;
    my $n = select(my $rout = $rin, undef, undef, $secs);
    return $n > 0;
}

# One read of what is there, waiting at most $secs: the bytes, '' at
# end-of-file, undef on timeout.
sub read_some {
    my ($fd, $secs) = @_;
    return undef unless readable($fd, $secs);
    my $got = POSIX::read($fd, my $buf, 65536);
    return defined $got ? ($got ? $buf : '') : undef;
}

# Reads until the data matches $re or end-of-file, within $secs overall.
# Returns (data, reached_eof).
sub read_until {
    my ($fd, $re, $secs) = @_;
    my $deadline = Time::HiRes::time() + $secs;
    my $data = '';
    while ((my $left = $deadline - Time::HiRes::time()) > 0) {
        my $chunk = read_some($fd, $left);
        last unless defined $chunk;
        return ($data, 1) if $chunk eq '';
        $data .= $chunk;
        return ($data, 0) if defined $re && $data =~ $re;
    }
    return ($data, 0);
}

sub read_to_eof { my ($fd, $secs) = @_; return read_until($fd, undef, $secs) }

sub send_line {
    my ($fd, $line) = @_;
    my $n = POSIX::write($fd, $line, length $line);
    return defined $n && $n == length $line;
}

sub fd_count {
    opendir(my $d, '/proc/self/fd') or die "no /proc/self/fd: $!";
    my $n = grep { /^\d+$/ } readdir $d;
    closedir $d;
    return $n - 1;    # the directory handle's own descriptor
}

sub fd_open { my ($fd) = @_; return -e "/proc/self/fd/$fd" }

# Runs $code with descriptor 2 on $file, so that workers launched inside
# inherit it as their standard error; the file's content is returned.
sub with_stderr_to {
    my ($file, $code) = @_;
    open(my $saved, '>&', \*STDERR) or die "dup stderr: $!";
    open(STDERR, '>', $file) or die "redirect stderr: $!";
    my @r = eval { $code->() };
    my $err = $@;
    open(STDERR, '>&', $saved) or die "restore stderr: $!";
    die $err if $err;
    return @r;
}

sub slurp {
    my ($file) = @_;
    open(my $fh, '<', $file) or return '';
    local $/;
    my $s = <$fh>;
    return defined $s ? $s : '';
}

# A command line that runs perl with this process's module path.
sub perl_cmd {
    require Cwd;
    my $cwd = Cwd::getcwd();
    return ($^X, map({ '-I' . (m{^/} ? $_ : "$cwd/$_") } grep { !ref } @INC));
}

1;
