package ChildPerl;

# Runs a Perl program in a child process, for what can only be seen in a
# fresh interpreter: the bootstrap runs once per process, and the
# open-file limit is a process attribute.  The child gets the same
# library path as the test; its output is captured in files and the wait
# is bounded, so a child that hangs is killed and reported.

use strict;
use warnings;
use Config;
use Cwd ();
use File::Temp qw(tempfile);
use POSIX qw(WNOHANG);
use Exporter 'import';

our @EXPORT_OK = qw(run_perl shared_object);

my $TIMEOUT = 30;

# A path made absolute against the current folder (it need not exist).
sub absolute { my ($p) = @_; $p =~ m{^/} ? $p : Cwd::getcwd() . "/$p" }

# The module's shared object, as the loader would find it on @INC.
sub shared_object {
    my $rel = "auto/Brindlecove/ProcessPool/ProcessPool.$Config{dlext}";
    for my $dir (@INC) {
        next if ref $dir;
        my $path = absolute("$dir/$rel");
        return $path if -f $path;
    }
    return;
}

# run_perl(code => $perl, args => [...], shell => 'ulimit ...', timeout => $secs)
# shell, when given, is run by /bin/sh before exec'ing perl.
# Returns a hash ref: status (the wait status), out, err.
sub run_perl {
    my %o = @_;
    my ($sfh, $script) = tempfile('childperl-XXXXXX', TMPDIR => 1, SUFFIX => '.pl', UNLINK => 1);
    print {$sfh} $o{code};
    close $sfh or die "write $script: $!";
    my ($ofh, $out) = tempfile(TMPDIR => 1, UNLINK => 1);
    my ($efh, $err) = tempfile(TMPDIR => 1, UNLINK => 1);

    my @inc = map { '-I' . absolute($_) } grep { !ref } @INC;
    my @perl = ($^X, @inc, $script, @{ $o{args} || [] });

    my $pid = fork;
    die "fork: $!" unless defined $pid;
    if ($pid == 0) {
        open STDOUT, '>&', $ofh or POSIX::_exit(126);
        open STDERR, '>&', $efh or POSIX::_exit(126);
        open STDIN, '<', '/dev/null' or POSIX::_exit(126);
        if (defined $o{shell}) {
            exec '/bin/sh', '-c', $o{shell} . ' && exec "$@"', 'sh', @perl;
        } else {
            exec @perl;
        }
        POSIX::_exit(127);
    }

    my $deadline = time + ($o{timeout} || $TIMEOUT);
    my $status;
    while (1) {
        my $r = waitpid $pid, WNOHANG;
        if ($r == $pid) { $status = $?; last }
        if (time > $deadline) {
            kill 'KILL', $pid;
            waitpid $pid, 0;
            $status = $?;
            close $efh;
            open my $e, '>>', $err;
            print {$e} "\nChildPerl: killed after ", $o{timeout} || $TIMEOUT, "s\n";
            close $e;
            last;
        }
        select undef, undef, undef, 0.02;
    }
    return { status => $status, out => _slurp($out), err => _slurp($err) };
}

sub _slurp {
    my $path = shift;
    open my $fh, '<', $path or return '';
    local $/;
    my $s = <$fh>;
    return defined $s ? $s : '';
}

1;
