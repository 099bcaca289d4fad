package PmapRun;

# Runs examples/pmap as a separate program with the test's library path,
# every wait bounded: either to the end with files for its standard
# streams (pmap_run), or as a child with pipes the test drives (pmap_spawn).
# Also finds a process's children, so that tests can check that no worker
# outlives pmap.

use strict;
use warnings;
use Cwd ();
use Errno qw(EINTR EAGAIN);
use File::Temp qw(tempdir);
use IO::Handle;
use IO::Select;
use POSIX qw(WNOHANG);
use Time::HiRes qw(time sleep);
use Exporter 'import';

our @EXPORT = qw(pmap_run pmap_spawn bounded_wait children_of wait_gone spew slurp tmpdir PMAP);

sub absolute { my ($p) = @_; $p =~ m{^/} ? $p : Cwd::getcwd() . "/$p" }

sub PMAP () { absolute('examples/pmap') }

my $DIR = tempdir(CLEANUP => 1);
sub tmpdir () { $DIR }

sub spew {
    my ($name, $bytes) = @_;
    my $path = $name =~ m{/} ? $name : "$DIR/$name";
    open my $fh, '>:raw', $path or die "$path: $!";
    print $fh $bytes;
    close $fh or die "$path: $!";
    return $path;
}

sub slurp {
    my ($path) = @_;
    open my $fh, '<:raw', $path or die "$path: $!";
    local $/;
    my $s = <$fh>;
    return defined $s ? $s : '';
}

sub perl_cmd { return ($^X, (map { '-I' . absolute($_) } grep { !ref } @INC), PMAP, @_) }

# pmap_run(\@args, stdin => BYTES | stdin_file => PATH, stdout => PATH,
#          limit => SECONDS, shell => 'sh code run before exec')
# Returns { status (wait status), rc, sig, out, err, secs }.
sub pmap_run {
    my ($args, %o) = @_;
    my $limit = $o{limit} || 60;
    my $in = $o{stdin_file} // spew('stdin', $o{stdin} // '');
    my $out = $o{stdout} // "$DIR/stdout";
    my $err = "$DIR/stderr";
    my $t0 = time;
    my $pid = fork;
    die "fork: $!" unless defined $pid;
    if ($pid == 0) {
        open STDIN, '<', $in or POSIX::_exit(126);
        open STDOUT, '>', $out or POSIX::_exit(126);
        open STDERR, '>', $err or POSIX::_exit(126);
        exec_pmap($args, $o{shell});
    }
    my $status = bounded_wait($pid, $limit);
    my %r = (status => $status, secs => time - $t0, err => slurp($err),
             out => $o{stdout} ? '' : slurp($out));
    if (!defined $status) {
        $r{rc} = -1;
        $r{timeout} = 1;
        $r{err} .= "[killed after $limit s]";
    } else {
        $r{rc} = $status & 127 ? -1 : $status >> 8;
        $r{sig} = $status & 127;
    }
    return \%r;
}

# Waits for $pid at most $limit seconds; kills it (and returns undef) when
# it is still running then.
sub bounded_wait {
    my ($pid, $limit) = @_;
    my $end = time + $limit;
    while (time < $end) {
        my $r = waitpid($pid, WNOHANG);
        return $? if $r == $pid;
        return undef if $r < 0;
        sleep 0.02;
    }
    kill 'KILL', $pid;
    kill 'KILL', children_of($pid);
    waitpid($pid, 0);
    return undef;
}

# The pids of the live children of $pid.
sub children_of {
    my ($pid) = @_;
    my @kids;
    opendir(my $d, '/proc') or return;
    for my $p (grep { /^\d+\z/ } readdir $d) {
        open(my $fh, '<', "/proc/$p/stat") or next;
        my $st = <$fh>;
        next unless defined $st && $st =~ /\)\s+(\S)\s+(\d+)/;
        push @kids, $p if $2 == $pid && $1 ne 'Z';
    }
    return @kids;
}

sub running {
    my ($pid) = @_;
    open(my $fh, '<', "/proc/$pid/stat") or return 0;
    my $st = <$fh>;
    return defined $st && $st =~ /\)\s+[^Z]/;
}

# True when none of @pids exists any more within $limit seconds (zombies
# of other parents count as gone: they run no code).
sub wait_gone {
    my ($limit, @pids) = @_;
    my $end = time + $limit;
    for (;;) {
        my @alive = grep { running($_) } @pids;
        return 1 unless @alive;
        return 0 if time > $end;
        sleep 0.05;
    }
}

# pmap_spawn(\@args, stdin_file => PATH, shell => CODE) starts pmap with
# pipes on its standard input (unless stdin_file) and output, standard
# error to a file; returns an object with methods write, close_in,
# read_until(qr//, seconds), read_all(seconds), wait(seconds), pid, err.
sub pmap_spawn {
    my ($args, %o) = @_;
    my ($in_r, $in_w);
    if (defined $o{stdin_file}) {
        open($in_r, '<', $o{stdin_file}) or die "$o{stdin_file}: $!";
    } else {
        pipe($in_r, $in_w) or die "pipe: $!";
    }
    pipe(my $out_r, my $out_w) or die "pipe: $!";
    my $err = "$DIR/stderr-spawn";
    my $pid = fork;
    die "fork: $!" unless defined $pid;
    if ($pid == 0) {
        close $in_w if $in_w;
        close $out_r;
        open STDIN, '<&', $in_r or POSIX::_exit(126);
        open STDOUT, '>&', $out_w or POSIX::_exit(126);
        open STDERR, '>', $err or POSIX::_exit(126);
        exec_pmap($args, $o{shell});
    }
    close $in_r;
    close $out_w;
    $in_w->autoflush(1) if $in_w;
    return bless { pid => $pid, in => $in_w, out => $out_r, got => '', errfile => $err }, 'PmapRun::Child';
}

# In a forked child: runs pmap with @$args, under a shell prelude when one
# is given; never returns.
sub exec_pmap {
    my ($args, $shell) = @_;
    my @cmd = perl_cmd(@$args);
    exec '/bin/sh', '-c', "$shell\nexec \"\$@\"", 'sh', @cmd if defined $shell;
    { no warnings 'exec'; exec @cmd; }
    POSIX::_exit(127);
}

package PmapRun::Child;

use Time::HiRes qw(time);

sub pid { $_[0]{pid} }
sub got { $_[0]{got} }
sub err { PmapRun::slurp($_[0]{errfile}) }

sub write {
    my ($s, $bytes) = @_;
    local $SIG{PIPE} = 'IGNORE';
    print { $s->{in} } $bytes or return 0;
    return 1;
}

sub close_in { my ($s) = @_; close $s->{in} if $s->{in}; delete $s->{in} }
sub close_out { my ($s) = @_; close $s->{out} if $s->{out}; delete $s->{out} }

# Reads standard output until what was read matches $re or $limit
# seconds pass; returns true on a match.
sub read_until {
    my ($s, $re, $limit) = @_;
    my $end = time + $limit;
    my $sel = IO::Select->new($s->{out});
    while ($s->{got} !~ $re) {
        my $left = $end - time;
        return 0 if $left <= 0;
        next unless $sel->can_read($left);
        my $n = sysread($s->{out}, $s->{got}, 65536, length $s->{got});
        next if !defined $n && $!{EINTR};
        return 0 if !$n;
    }
    return 1;
}

# Reads standard output to its end, at most $limit seconds.
sub read_all {
    my ($s, $limit) = @_;
    my $end = time + $limit;
    my $sel = IO::Select->new($s->{out});
    for (;;) {
        my $left = $end - time;
        return 0 if $left <= 0;
        next unless $sel->can_read($left);
        my $n = sysread($s->{out}, $s->{got}, 65536, length $s->{got});
        next if !defined $n && $!{EINTR};
        return 1 if defined $n && $n == 0;
        return 0 if !defined $n;
    }
}

# The wait status, or undef after killing a pmap that did not end within
# $limit seconds.
sub wait {
    my ($s, $limit) = @_;
    $s->close_in;
    return $s->{status} if exists $s->{status};
    return $s->{status} = PmapRun::bounded_wait($s->{pid}, $limit);
}

sub DESTROY {
    my ($s) = @_;
    return if exists $s->{status} || !$s->{pid};
    kill 'KILL', PmapRun::children_of($s->{pid}), $s->{pid};
    waitpid($s->{pid}, 0);
}

1;
