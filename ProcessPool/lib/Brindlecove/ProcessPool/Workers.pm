package Brindlecove::ProcessPool::Workers;

use strict;
use warnings;

use Brindlecove::ProcessPool ();
use Carp ();
use Errno ();
use Fcntl ();
use POSIX ();
use Scalar::Util ();
use Storable ();
use Time::HiRes ();

our $VERSION = '1.00';

my $PP = 'Brindlecove::ProcessPool';

# Every service this process created and has not shut down yet, by address
# (weak references).  A worker closes the descriptors of all of them, and
# the END block shuts them down.
our %LIVE;

# Frames, both ways: a one-byte type, a 32-bit id and a 32-bit payload
# length, then the payload as raw bytes.
use constant HDR => 9;

# How long one batch should keep a worker busy, and the byte limits of a
# batch; see "Batching" in the POD.
use constant {
    BATCH_SECONDS  => 0.005,
    BLOCK_SECONDS  => 0.010,
    BATCH_MAX      => 65536,
    BATCH_BYTES    => 1 << 20,
    BLOCK_MIN      => 256,
    BLOCK_START    => 4096,
    BLOCK_MAX      => 1 << 18,
    INFLIGHT       => 2,
    CHECK_EVERY    => 0.5,
    # A worker whose pipe closed unasked is ending: its exit (END blocks,
    # destructors, a sanitizer's leak check, a loaded machine) may take
    # seconds after that, and is waited for, so that how it ended is its
    # own status and not the SIGTERM the parent would send.
    EXIT_GRACE     => 15,
    F_SETPIPE_SZ   => 1031,
    F_GETPIPE_SZ   => 1032,
};

sub _frame { pack('aNN', $_[0], $_[1], length $_[2]) . $_[2] }

# The strings, each after its 32-bit length.  Character strings go as
# print would write them (bytes when every character fits in one, else
# UTF-8): packed as they stand they would turn the whole message into
# characters.
sub _pack_strings {
    no warnings 'uninitialized';
    my $packed = pack('(N/a*)*', @_);
    $packed = pack('(N/a*)*', map { _bytes($_) } @_) if utf8::is_utf8($packed);
    return $packed;
}

sub _bytes {
    my ($s) = @_;
    utf8::downgrade($s, 1) or utf8::encode($s) if defined $s && utf8::is_utf8($s);
    return $s;
}

# ---------------------------------------------------------------- setup

sub new {
    my ($class, %opt) = @_;
    my $handler = delete $opt{handler};
    Carp::croak('handler must be a code reference')
        unless ref $handler eq 'CODE';
    my $init = delete $opt{init};
    Carp::croak('init must be a code reference')
        if defined $init && ref $init ne 'CODE';
    my $block_handler = delete $opt{block_handler};
    Carp::croak('block_handler must be a code reference')
        if defined $block_handler && ref $block_handler ne 'CODE';
    my $n = delete $opt{workers};
    $n = _nproc() unless defined $n;
    Carp::croak("workers must be a positive integer, not '$n'")
        unless $n =~ /^\d+\z/ && $n > 0;
    my %num;
    for my $k (qw(retries max_requests timeout)) {
        my $v = delete $opt{$k};
        if (defined $v) {
            Carp::croak("$k must be a non-negative number, not '$v'")
                unless $v =~ /^\d+(?:\.\d*)?\z/ || $v =~ /^\.\d+\z/;
            Carp::croak("$k must be an integer, not '$v'")
                if $k ne 'timeout' && $v != int $v;
        }
        $num{$k} = $v;
    }
    Carp::croak('unknown option' . (keys %opt > 1 ? 's ' : ' ')
                . join(', ', sort keys %opt)) if %opt;

    my $self = bless {
        handler      => $handler,
        block_handler => $block_handler,
        init         => $init,
        n            => $n,
        retries      => defined $num{retries} ? $num{retries} : 1,
        max_requests => $num{max_requests} || 0,
        timeout      => $num{timeout} || 0,
        owner        => $$,
        pool         => $PP->new($n),
        w            => [],          # per slot: the worker's record
        slot_records => [],          # per slot: requests (records) answered
        spares       => [],          # buffers to read replies or blocks into again
        queue        => [],          # fresh requests: [sink, base, \@reqs,
                                     #   charges, all defined, first unsent]
        qcount       => 0,
        ready        => [],          # batches built already (retries, blocks)
        next_id      => 1,
        est          => undef,       # worker seconds per request
        avg_bytes    => 64,          # bytes per request, as last packed
        stats        => { abnormal_exits => 0, restarts => 0 },
        in_pump      => 0,
        last_check   => Time::HiRes::time(),
    }, $class;
    $LIVE{Scalar::Util::refaddr($self)} = $self;
    Scalar::Util::weaken($LIVE{Scalar::Util::refaddr($self)});
    my $ok = eval { $self->_start($_) for 0 .. $n - 1; 1 };
    unless ($ok) {
        my $err = $@;
        $self->shutdown(timeout => 1);
        die $err;
    }
    return $self;
}

# The number of processors this process may run on (the affinity mask, as
# nproc counts them).
sub _nproc {
    if (open my $fh, '<', '/proc/self/status') {
        while (my $l = <$fh>) {
            next unless $l =~ /^Cpus_allowed_list:\s*(\S+)/;
            my $c = 0;
            for my $r (split /,/, $1) {
                $c += $r =~ /^(\d+)-(\d+)\z/ ? $2 - $1 + 1 : 1;
            }
            return $c if $c > 0;
        }
    }
    my $n = `nproc 2>/dev/null`;
    return $1 if defined $n && $n =~ /^(\d+)/ && $1 > 0;
    return 1;
}

sub workers { $_[0]{n} }

sub pids {
    my ($self) = @_;
    return map { $_ && !$_->{dead} ? $_->{pid} : () } @{ $self->{w} };
}

sub _start {
    my ($self, $slot) = @_;
    my $pool = $self->{pool};
    $pool->start_long($slot, sub { $self->_worker_main($slot) });
    my $w = {
        slot => $slot, pid => $pool->pid($slot),
        rfd => $pool->rfd($slot), wfd => $pool->wfd($slot),
        inref => undef, outq => [], outoff => 0, inflight => [],
        ready => 0, assigned => 0, busy_since => undef,
    };
    # A new element, not a new value in the old one: loops that hold the
    # old record (aliased by foreach) must go on seeing the old record.
    $#{ $self->{w} } = $slot if $#{ $self->{w} } < $slot;
    splice(@{ $self->{w} }, $slot, 1, $w);
    $w->{psz} = _fd_setup($w->{wfd}, 1);
    _fd_setup($w->{rfd}, 0);
    return $w;
}

# Makes the parent's end of a worker pipe non-blocking (writes) and large.
# The flags belong to the open file, so a short-lived duplicate sets them
# without a Perl handle ever owning the pool's own descriptor.
sub _fd_setup {
    my ($fd, $nonblock) = @_;
    open(my $h, $nonblock ? '>&' : '<&', $fd) or return;
    if ($nonblock) {
        my $fl = fcntl($h, Fcntl::F_GETFL(), 0);
        fcntl($h, Fcntl::F_SETFL(), $fl | Fcntl::O_NONBLOCK()) if defined $fl;
    }
    fcntl($h, F_SETPIPE_SZ, 1 << 20);    # refused above the system's limit: fine
    my $size = fcntl($h, F_GETPIPE_SZ, 0);
    close $h;
    return $size && $size > 0 ? 0 + $size : 65536;
}

# ---------------------------------------------------------------- worker

sub _worker_main {
    my ($self, $slot) = @_;
    $SIG{$_} = 'DEFAULT' for qw(INT PIPE TERM ALRM);
    local $@;

    # Other workers' pipe ends (of every service of this process) would
    # keep their pipes open: close them.
    for my $svc (grep { defined } values %LIVE) {
        my $pool = $svc->{pool};
        for my $s (eval { $pool->slots }) {
            POSIX::close($_) for grep { $_ > 2 } $pool->wfd($s), $pool->rfd($s), $pool->efd($s);
        }
    }

    # The protocol moves to private descriptors; the handler gets an empty
    # STDIN and a STDOUT that writes to the shared standard error.
    open(my $pin, '<&', 0) or POSIX::_exit(71);
    open(my $pout, '>&', 1) or POSIX::_exit(71);
    binmode $pin;
    binmode $pout;
    my %pipe = map { (readlink("/proc/self/fd/$_") || "none$_") => 1 } 0, 1;
    my %keep = (fileno($pin) => 1, fileno($pout) => 1);
    if (opendir my $d, '/proc/self/fd') {
        my @fds = grep { /^\d+\z/ && $_ > 2 && !$keep{$_} } readdir $d;
        closedir $d;
        for my $fd (@fds) {
            my $l = readlink("/proc/self/fd/$fd");
            POSIX::close($fd) if defined $l && $pipe{$l};
        }
    }
    open(STDIN, '<', '/dev/null');
    open(STDOUT, '>&', \*STDERR);
    { my $old = select STDOUT; $| = 1; select $old }

    # The header and the payload's pieces go in writes of their own: no
    # copy of the payload.
    my $send = sub {
        my ($type, $id) = @_;
        my $len = 0;
        $len += length $_[$_] for 2 .. $#_;
        for my $buf (pack('aNN', $type, $id, $len), @_[2 .. $#_]) {
            my $off = 0;
            while ($off < length $buf) {
                my $n = syswrite($pout, $buf, length($buf) - $off, $off);
                if (!defined $n) {
                    next if $! == Errno::EINTR();
                    _wexit(0);
                }
                $off += $n;
            }
        }
    };

    if ($self->{init}) {
        unless (eval { $self->{init}->(); 1 }) {
            my $e = $@;
            $e = 'init died' unless defined $e && length $e;
            $send->('X', 0, _bytes("$e"));
            _wexit(1);
        }
    }
    $send->('H', 0, pack('N', $$));

    my $handler = $self->{handler};
    my $block_handler = $self->{block_handler};
    my $timeout = $self->{timeout};
    # two buffers take turns: one is read into while the other holds the
    # payload being worked on, so no frame needs fresh memory
    my ($in, $spare) = (\(my $b1 = ''), \(my $b2 = ''));
    while (1) {
        while (length($$in) < HDR or length($$in) < HDR + unpack('x5 N', $$in)) {
            # a large frame no further than its end: a buffer holding one
            # frame alone is handed on without a copy
            my $want = 1 << 16;
            if (length($$in) >= HDR) {
                my $size = HDR + unpack('x5 N', $$in);
                $want = $size - length $$in if $size > 1 << 16;
            }
            my $n = sysread($pin, $$in, $want, length $$in);
            if (!defined $n) {
                next if $! == Errno::EINTR();
                _wexit(0);
            }
            _wexit(0) unless $n;
        }
        my ($type, $id, $len) = unpack('aNN', $$in);
        my $pr;
        if (length($$in) == HDR + $len) {
            ($pr, $in) = ($in, $spare);
        } else {
            $pr = \(my $part = substr($$in, 0, HDR + $len, ''));
        }
        substr($$pr, 0, HDR, '');    # in place, no copy
        my $payload = $pr;
        _wexit(0) if $type eq 'Q';
        my $sep;
        if ($type eq 'L') {
            ($sep) = unpack('N/a*', $$payload);
            substr($$payload, 0, 4 + length $sep, '');    # in place, no copy
        }
        my @reply = eval {
            $type eq 'R' ? _work_requests($handler, $timeout, $$payload)
                         : _work_block($handler, $block_handler, $timeout, $sep, $$payload);
        };
        unless (@reply) {
            # the layer itself failed (say, out of memory): fail the batch
            my $e = _bytes("$@" || 'failed');
            Time::HiRes::alarm(0) if $timeout;
            @reply = $type eq 'R' ? _requests_failed($$payload, $e) : _block_failed($sep, $$payload, $e);
        }
        $send->($type, $id, @reply);
        @reply = ();
        $$payload = '';    # keeps its allocation for the next frame
        $spare = $payload;
    }
}

sub _wexit {
    my ($code) = @_;
    { my $old = select STDERR; $| = 1; select STDOUT; $| = 1; select $old }
    POSIX::_exit($code);
}

# A batch of requests: the handler runs on each in one eval, which is left
# and re-entered only when a request dies.
sub _work_requests {
    my ($handler, $timeout, $payload) = @_;
    my ($n, $nundef) = unpack('NN', $payload);
    my @undef = $nundef ? unpack("x8 N$nundef", $payload) : ();
    my @req = unpack('x' . (8 + 4 * $nundef) . ' (N/a*)*', $payload);
    $req[$_] = undef for @undef;
    my $t0 = Time::HiRes::time();
    my (@out, @err);
    while (@out < $n) {
        # one eval for the run of requests up to the next that dies
        last if eval {
            if ($timeout) {
                for (@req[@out .. $n - 1]) {
                    Time::HiRes::alarm($timeout);
                    push @out, scalar $handler->($_);
                    Time::HiRes::alarm(0);
                }
            } else {
                push @out, scalar $handler->($_) for @req[@out .. $n - 1];
            }
            1;
        };
        Time::HiRes::alarm(0) if $timeout;
        my $e = $@;
        $e = 'died' unless defined $e && length $e;
        push @err, scalar @out, _bytes("$e");
        push @out, undef;
    }
    # replies as Storable has them: undef, numbers and character strings
    # arrive as they were returned, for one C-level thaw in the parent
    return pack('dN', Time::HiRes::time() - $t0, @err / 2)
        . pack('(N N/a*)*', @err) . Storable::freeze(\@out);
}

# A block of records: split at the separator, map, join.  Failed records
# leave no output; the reply names each with the output offset it had.
# A block handler, when given, maps the whole block in one call; it must
# give back as many records, or the block is mapped record by record.
sub _work_block {
    my ($handler, $block_handler, $timeout, $sep) = @_;
    my $br = \$_[4];    # the worker's own buffer, changed in place
    my $tail = substr($$br, -length $sep) eq $sep;
    my $t0 = Time::HiRes::time();
    if ($block_handler && length $$br) {
        # the records without the final separator, cut off in place
        my $cut = $tail ? substr($$br, -length $sep, length $sep, '') : '';
        my $n;
        if ($timeout) {
            $n = 1 + _count($$br, $sep);
            Time::HiRes::alarm($timeout * $n);
        }
        my $out = eval { $block_handler->($$br, $sep) };
        Time::HiRes::alarm(0) if $timeout;
        # [output, count]: the handler says how many records it mapped,
        # which spares two passes over the bytes to count them
        my $count;
        ($out, $count) = @$out if ref $out eq 'ARRAY';
        if (defined $out) {
            $out = _bytes($out) if utf8::is_utf8($out);
            $n = 1 + _count($$br, $sep) unless defined $n || defined $count;
            if (defined $count ? !defined $n || $count == $n : _count($out, $sep) == $n - 1) {
                return (pack('dNN', Time::HiRes::time() - $t0, $count // $n, 0), $out, $cut);
            }
        }
        $$br .= $cut;
    }
    my @rec = split /\Q$sep\E/, $$br, -1;
    pop @rec if $tail;
    my $n = @rec;
    my (@out, %failed);
    my $i = 0;
    while ($i < $n) {
        last if eval {
            if ($timeout) {
                for (; $i < $n; $i++) {
                    Time::HiRes::alarm($timeout);
                    $out[$i] = $handler->($rec[$i]);
                    Time::HiRes::alarm(0);
                }
            } else {
                for (; $i < $n; $i++) { $out[$i] = $handler->($rec[$i]) }
            }
            1;
        };
        Time::HiRes::alarm(0) if $timeout;
        my $e = $@;
        $e = 'died' unless defined $e && length $e;
        $failed{$i} = "$e";
        $i++;
    }
    my $output;
    my @fail;
    no warnings 'uninitialized';
    if (!%failed) {
        $output = join($sep, @out);
        $output = join($sep, map { _bytes($_) } @out) if utf8::is_utf8($output);
        $output .= $sep if $n && $tail;
    } else {
        $_ = _bytes($_) for @out, values %failed;
        $output = '';
        for my $j (0 .. $n - 1) {
            if (exists $failed{$j}) {
                push @fail, $j, length $output, $failed{$j};
                next;
            }
            $output .= $out[$j];
            $output .= $sep if $j < $n - 1 || $tail;
        }
    }
    return (pack('dNN', Time::HiRes::time() - $t0, $n, @fail / 3)
            . pack('(N N N/a*)*', @fail), $output);
}

# How many times $sep occurs in $s (tr for the usual one-byte separators).
sub _count {
    my $sep = $_[1];
    return $_[0] =~ tr/\n// if $sep eq "\n";
    return $_[0] =~ tr/\0// if $sep eq "\0";
    my ($n, $p, $l) = (0, 0, length $sep);
    while (($p = index($_[0], $sep, $p)) >= 0) { $n++; $p += $l }
    return $n;
}

sub _requests_failed {
    my ($payload, $e) = @_;
    my ($n) = unpack('N', $payload);
    return pack('dN', 0, $n) . pack('(N N/a*)*', map { ($_, $e) } 0 .. $n - 1)
        . Storable::freeze([ (undef) x $n ]);
}

sub _block_failed {
    my ($sep, undef, $e) = @_;
    my $n = _count($_[1], $sep);
    $n++ if length $_[1] && substr($_[1], -length $sep) ne $sep;
    return pack('dNN', 0, $n, $n) . pack('(N N N/a*)*', map { ($_, 0, $e) } 0 .. $n - 1);
}

# ---------------------------------------------------------------- parent

sub _usable {
    my ($self, $what, $reentrant) = @_;
    Carp::croak("$what: the service belongs to process $self->{owner}")
        if $$ != $self->{owner};
    Carp::croak("$what: the service is shut down") if $self->{shut};
    Carp::croak("$what: $self->{broken}") if $self->{broken};
    Carp::croak("$what can't be called from inside a callback of the service")
        if $self->{in_pump} && !$reentrant;
}

sub submit {
    my ($self, $req, $cb) = @_;
    Carp::croak('submit needs a request and a code reference')
        unless @_ == 3 && ref $cb eq 'CODE';
    $self->_usable('submit', 1);
    push @{ $self->{queue} }, [$cb, 0, [$req], 0, defined $req];
    $self->{qcount}++;
    return 1 if $self->{in_pump};
    # Send at once while a worker has room; past the bound, wait for room.
    if ($self->{qcount} >= $self->_want || $self->_has_room) {
        $self->_pump(0);
    }
    $self->_pump(CHECK_EVERY) while $self->{qcount} > 4 * BATCH_MAX;
    return 1;
}

sub wait {
    my ($self) = @_;
    $self->_usable('wait');
    $self->_pump(CHECK_EVERY) while $self->_outstanding;
    return 1;
}

sub pending { $_[0]->_outstanding }

sub _outstanding {
    my ($self) = @_;
    my $n = $self->{qcount} + @{ $self->{ready} };
    $n += @{ $_->{inflight} } for grep { $_ && !$_->{dead} } @{ $self->{w} };
    return $n;
}

sub map {
    my $self = shift;
    $self->_usable('map');
    return wantarray ? () : 0 unless @_;
    my $n = @_;
    my $sink = { chunks => {}, err => {}, left => $n };
    # The caller's own values, not a copy: batches are packed from them
    # before map returns, and the queue forgets them when it does.
    my $reqs = \@_;
    my $alldef = !grep { !defined } @$reqs;
    push @{ $self->{queue} }, [$sink, 0, $reqs, 0, $alldef];
    $self->{qcount} += $n;
    unless (eval { $self->_pump(CHECK_EVERY) while $sink->{left} > 0; 1 }) {
        my $e = $@;
        $self->_cancel($sink);
        die $e;
    }
    if (my @bad = sort { $a <=> $b } keys %{ $sink->{err} }) {
        my $msg = $sink->{err}{ $bad[0] };
        $msg =~ s/\n\z//;
        my $more = @bad > 1 ? sprintf(' (and %d more)', @bad - 1) : '';
        Carp::croak("request $bad[0] failed$more: $msg");
    }
    return $n unless wantarray;
    # splice hands over the thawed scalars themselves, not copies
    my $c = $sink->{chunks};
    return map { splice @{ $c->{$_} } } sort { $a <=> $b } keys %$c;
}

# Drops what a sink still has queued; its batches in flight are answered
# into nothing.
sub _cancel {
    my ($self, $sink) = @_;
    $sink->{cancelled} = 1;
    my @keep;
    for my $q (@{ $self->{queue} }) {
        if ($q->[0] == $sink) { $self->{qcount} -= @{ $q->[2] } - ($q->[5] || 0) } else { push @keep, $q }
    }
    $self->{queue} = \@keep;
    $self->{ready} = [ grep {
        !($_->{job} && $_->{job}{run} == $sink)
        && !($_->{segs} && !grep { $_->[0] != $sink } @{ $_->{segs} })
    } @{ $self->{ready} } ];
}

sub _has_room {
    my ($self) = @_;
    for my $w (@{ $self->{w} }) {
        return 1 if $w && !$w->{dead} && !$w->{retiring} && @{ $w->{inflight} } < INFLIGHT;
    }
    return 0;
}

# Requests per batch: enough to keep a worker busy for BATCH_SECONDS, no
# more than BATCH_BYTES, and no more than an even share of what is queued.
sub _want {
    my ($self) = @_;
    my $est = $self->{est};
    my $n = !defined $est ? 1 : $est > 0 ? int(BATCH_SECONDS / $est) : BATCH_MAX;
    my $by_bytes = int(BATCH_BYTES / ($self->{avg_bytes} || 1));
    $n = $by_bytes if $by_bytes < $n;
    my $share = int(($self->{qcount} + $self->{n} * INFLIGHT - 1) / ($self->{n} * INFLIGHT));
    $n = $share if $share < $n;
    $n = BATCH_MAX if $n > BATCH_MAX;
    return $n < 1 ? 1 : $n;
}

# One round of the event loop: dispatch, write, wait at most $timeout for
# replies (and for $extra_fd, whose readiness is returned), read them.
sub _pump {
    my ($self, $timeout, $extra_fd) = @_;
    my $user_pipe = $SIG{PIPE};
    local $self->{user_pipe} = $user_pipe;
    local $self->{in_pump} = 1;
    local $SIG{PIPE} = 'IGNORE';
    local $self->{cb_errors} = [];

    Carp::croak('the service was shut down') if $self->{shut};
    $self->_dispatch;
    my ($rin, $win) = ('', '');
    my @live = grep { $_ && !$_->{dead} } @{ $self->{w} };
    for my $w (@live) {
        vec($rin, $w->{rfd}, 1) = 1;
        vec($win, $w->{wfd}, 1) = 1 if @{ $w->{outq} };
    }
    vec($rin, $extra_fd, 1) = 1 if defined $extra_fd;
    $timeout = CHECK_EVERY if $timeout > CHECK_EVERY;
    my $nfound = select(my $rout = $rin, my $wout = $win, undef, $timeout);
    my $extra = 0;
    if ($nfound > 0) {
        for my $w (@live) {
            $self->_write($w) if !$w->{dead} && vec($wout, $w->{wfd}, 1);
            $self->_read($w) if !$w->{dead} && vec($rout, $w->{rfd}, 1);
        }
        $extra = 1 if defined $extra_fd && vec($rout, $extra_fd, 1);
    } elsif ($nfound < 0 && $! != Errno::EINTR()) {
        die "select failed: $!";
    }
    # a signal handler may have aborted the service meanwhile
    Carp::croak('the service was shut down') if $self->{shut};
    my $now = Time::HiRes::time();
    if ($now - $self->{last_check} >= CHECK_EVERY) {
        $self->{last_check} = $now;
        $self->_check_alive($now);
    }
    $self->_dispatch;
    die $self->{cb_errors}[0] if @{ $self->{cb_errors} };
    Carp::croak($self->{broken}) if $self->{broken};
    return $extra;
}

sub _dispatch {
    my ($self) = @_;
    for my $w (@{ $self->{w} }) {
        next if !$w || $w->{dead} || $w->{retiring};
        while (@{ $w->{inflight} } < INFLIGHT
               && (@{ $self->{ready} } || $self->{qcount})) {
            my $budget = $self->{max_requests}
                ? $self->{max_requests} - $w->{assigned} : BATCH_MAX;
            last if $budget <= 0;
            my $b = $self->_next_batch($budget) or last;
            $self->_send($w, $b);
        }
        if ($self->{max_requests} && $w->{assigned} >= $self->{max_requests}
            && !@{ $w->{inflight} }) {
            # recycled: asked to leave, replaced once it has gone
            $w->{retiring} = 1;
            push @{ $w->{outq} }, \_frame('Q', 0, '');
            $self->_write($w);
        }
    }
}

sub _next_batch {
    my ($self, $budget) = @_;
    if (@{ $self->{ready} }) {
        my $b = $self->{ready}[0];
        if ($b->{kind} eq 'L' && $self->{max_requests} && $b->{n} > $budget) {
            $self->_split_block_front($budget);
            $b = $self->{ready}[0];
        }
        return shift @{ $self->{ready} } if $b->{n} <= $budget || $b->{n} <= 1;
        return undef;
    }
    my $want = $self->_want;
    $want = $budget if $budget < $want;
    my (@segs, @undef);
    my $packed = '';
    my $count = 0;
    my $q = $self->{queue};
    while ($want > 0 && @$q) {
        my $seg = $q->[0];
        my ($reqs, $from) = @$seg[2, 5];
        $from ||= 0;
        my $have = @$reqs - $from;
        my $take = $have < $want ? $have : $want;
        my $to = $from + $take - 1;
        # packed straight from the caller's requests, a slice at a time
        $packed .= _pack_strings(@{$reqs}[$from .. $to]);
        unless ($seg->[4]) {
            push @undef, map { $count + $_ - $from } grep { !defined $reqs->[$_] } $from .. $to;
        }
        push @segs, [$seg->[0], $seg->[1], $take, $seg->[3]];
        $seg->[1] += $take;
        $seg->[5] = $to + 1;
        shift @$q if $take == $have;
        $count += $take;
        $want -= $take;
    }
    return undef unless $count;
    $self->{qcount} -= $count;
    my $payload = pack('NN N*', $count, scalar @undef, @undef);
    $payload .= $packed;
    $self->{avg_bytes} = length($payload) / $count;
    return { kind => 'R', pref => \$payload, n => $count, segs => \@segs };
}

sub _send {
    my ($self, $w, $b) = @_;
    my $id = $self->{next_id}++;
    $self->{next_id} = 1 if $self->{next_id} > 0xFFFFFFFF;
    $b->{id} = $id;
    # header, separator (blocks), payload: sent as they are, not joined
    my $pre = $b->{kind} eq 'L' ? pack('N/a*', $b->{sep}) : '';
    push @{ $w->{outq} },
        \(pack('aNN', $b->{kind}, $id, length($pre) + length(${ $b->{pref} })) . $pre),
        $b->{pref};
    $w->{busy_since} = Time::HiRes::time() unless @{ $w->{inflight} };
    push @{ $w->{inflight} }, $b;
    $w->{assigned} += $b->{n};
    $self->_write($w);
}

# Non-blocking: writes what the pipe takes now, keeps the rest.  A string
# that fits the pipe goes as it is; a longer one, or the rest of one, in
# pieces, so a partial write never copies the whole rest.
sub _write {
    my ($self, $w) = @_;
    my $q = $w->{outq};
    while (@$q) {
        my $r = $q->[0];
        my $off = $w->{outoff};
        my $left = length($$r) - $off;
        # after a partial write the pipe is nearly full: pieces of 128 KB
        # waste less copying than pieces of the pipe's size
        my $n = $off == 0 && $left <= $w->{psz}
            ? Brindlecove::ProcessPool::writefd($w->{wfd}, $$r)
            : Brindlecove::ProcessPool::writefd($w->{wfd}, substr($$r, $off, $off ? 1 << 17 : $w->{psz}));
        if (!defined $n) {
            next if $! == Errno::EINTR();
            last if $! == Errno::EAGAIN() || $! == Errno::EWOULDBLOCK();
            # EPIPE or worse: the worker is gone or going; its end of file
            # or the liveness check will show it
            @$q = ();
            $w->{outoff} = 0;
            $self->{last_check} = 0;
            return;
        }
        if ($n == $left) {
            shift @$q;
            $w->{outoff} = 0;
        } else {
            $w->{outoff} += $n;
        }
    }
}

# Replies are read into buffers that are kept: a payload handed on takes
# its buffer with it, and the buffer comes back to the spares once its
# bytes are used, so a stream of large replies reuses a few allocations
# instead of touching fresh memory for each.
sub _read {
    my ($self, $w) = @_;
    my $in = $w->{inref} ||= $self->_spare;
    # A large frame is read to its end and no further, so that its buffer
    # holds it alone and is handed on whole: the next frame's first bytes
    # behind it would make it be copied out.  Small frames may share reads.
    my $want = 1 << 16;
    if (length($$in) >= HDR) {
        my $size = HDR + unpack('x5 N', $$in);
        $want = $size - length $$in if $size > 1 << 16;
    }
    my $n = Brindlecove::ProcessPool::readfd($w->{rfd}, $$in, $want, length $$in);
    if (!defined $n) {
        return if $! == Errno::EINTR() || $! == Errno::EAGAIN();
        return $self->_died($w);
    }
    return $self->_died($w) unless $n;
    while (length($$in) >= HDR) {
        my ($type, $id, $len) = unpack('aNN', $$in);
        last if length($$in) < HDR + $len;
        my $pr;
        if (length($$in) == HDR + $len) {
            $pr = $in;
            $in = $w->{inref} = $self->_spare;
        } else {
            $pr = \(my $p = substr($$in, 0, HDR + $len, ''));
        }
        substr($$pr, 0, HDR, '');    # in place, no copy
        $self->_frame_in($w, $type, $id, $pr);
        return if $w->{dead};
    }
}

sub _spare {
    my ($self) = @_;
    return pop(@{ $self->{spares} }) || \(my $buf = '');
}

# One pool for reply and block buffers: an answered block's buffer takes
# the next reply, so a stream warms up (faults in) half as many.
sub _recycle {
    my ($self, $ref) = @_;
    return if @{ $self->{spares} } >= 4 * INFLIGHT * $self->{n} + 4;
    $$ref = '';    # keeps its allocation
    push @{ $self->{spares} }, $ref;
}

# $p: a reference to the payload, which is handed on, never copied.
sub _frame_in {
    my ($self, $w, $type, $id, $p) = @_;
    if ($type eq 'H') {
        $w->{ready} = 1;
        return;
    }
    if ($type eq 'X') {
        (my $e = $$p) =~ s/\n\z//;
        $self->{broken} ||= "init died in a worker: $e";
        return;
    }
    my $b = shift @{ $w->{inflight} };
    die "internal error: reply $id from worker $w->{pid} answers no request"
        unless $b && $b->{id} == $id && $b->{kind} eq $type;
    $w->{busy_since} = @{ $w->{inflight} } ? Time::HiRes::time() : undef;
    if ($self->{max_requests}) {
        $self->{pool}->inc($w->{slot}) for 1 .. $b->{n};
    }
    $b->{slot} = $w->{slot};
    if ($type eq 'R') {
        $self->{slot_records}[ $w->{slot} ] += $b->{n};
        $self->_deliver_requests($b, $p);
    } else {
        $self->_deliver_block($b, $p);
    }
}

sub _learn {
    my ($self, $key, $per) = @_;
    my $old = $self->{$key};
    $self->{$key} = defined $old ? 0.7 * $old + 0.3 * $per : $per;
}

sub _deliver_requests {
    my ($self, $b, $pr) = @_;
    my ($elapsed, $ne) = unpack('dN', $$pr);
    $self->_learn(est => $elapsed / $b->{n});
    my %err;
    my $off = 12;
    if ($ne) {
        %err = unpack("x12 (N N/a*)$ne", $$pr);
        $off += 8 * $ne;
        $off += length for values %err;
    }
    substr($$pr, 0, $off, '');    # in place, no copy
    my $v = Storable::thaw($$pr);
    $self->_recycle($pr);
    my $o = 0;
    for my $seg (@{ $b->{segs} }) {
        my ($sink, $base, $cnt) = @$seg;
        if (ref $sink eq 'CODE') {
            $self->_callback($sink, $v->[$_], $err{$_}) for $o .. $o + $cnt - 1;
        } elsif (!$sink->{cancelled}) {
            $sink->{chunks}{$base} = $cnt == @$v ? $v : [ @{$v}[$o .. $o + $cnt - 1] ];
            for my $i (keys %err) {
                $sink->{err}{ $base + $i - $o } = $err{$i}
                    if $i >= $o && $i < $o + $cnt;
            }
            $sink->{left} -= $cnt;
        }
        $o += $cnt;
    }
}

sub _callback {
    my ($self, $cb, @args) = @_;
    local $SIG{PIPE} = defined $self->{user_pipe} ? $self->{user_pipe} : 'DEFAULT';
    eval { $cb->(@args); 1 } or push @{ $self->{cb_errors} }, $@;
}

# The failure of requests or records that could not be answered.
sub _fail_batch {
    my ($self, $b, $msg) = @_;
    if ($b->{kind} eq 'L') {
        return $self->_job_done($b->{job}, \(my $none = ''), 1, [[0, 0, $msg]]);
    }
    for my $seg (@{ $b->{segs} }) {
        my ($sink, $base, $cnt) = @$seg;
        if (ref $sink eq 'CODE') {
            $self->_callback($sink, undef, $msg) for 1 .. $cnt;
        } elsif (!$sink->{cancelled}) {
            $sink->{chunks}{$base} = [ (undef) x $cnt ];
            $sink->{err}{ $base + $_ } = $msg for 0 .. $cnt - 1;
            $sink->{left} -= $cnt;
        }
    }
}

sub _deliver_block {
    my ($self, $b, $pr) = @_;
    my ($elapsed, $nrec, $nf) = unpack('dNN', $$pr);
    $self->{slot_records}[ $b->{slot} ] += $nrec;
    $self->_learn(est_block => $elapsed / (length(${ $b->{pref} }) || 1));
    my @f = $nf ? unpack("x16 (N N N/a*)$nf", $$pr) : ();
    my $off = 16;
    my @fails;
    while (@f) {
        my ($i, $at, $msg) = splice(@f, 0, 3);
        $off += 12 + length $msg;
        push @fails, [$i, $at, $msg];
    }
    substr($$pr, 0, $off, '');    # in place, no copy
    $self->_job_done($b->{job}, $pr, $nrec, \@fails);
    # the block is answered: its buffer takes the next block or reply
    $self->_recycle(delete $b->{pref});
}

# $out: a reference to the output bytes.
sub _job_done {
    my ($self, $job, $out, $nrec, $fails) = @_;
    @$job{qw(out nrec fails done)} = ($out, $nrec, $fails, 1);
    my $parent = $job->{parent} or return;
    return if --$parent->{parts_left};
    my ($all, @pf) = ('');
    my $k = 0;
    for my $part (@{ $parent->{parts} }) {
        push @pf, [$k + $_->[0], length($all) + $_->[1], $_->[2]] for @{ $part->{fails} };
        $all .= ${ $part->{out} };
        $k += $part->{nrec};
    }
    $self->_job_done($parent, \$all, $k, \@pf);
}

# ------------------------------------------------------- worker endings

sub _gone {
    my ($pid) = @_;
    open(my $fh, '<', "/proc/$pid/stat") or return 1;
    my $stat = <$fh>;
    return 1 unless defined $stat;
    my ($state) = $stat =~ /\)\s+(\S)/s;
    return !defined $state || $state eq 'Z' || $state eq 'X';
}

sub _wait_gone {
    my ($pid, $secs) = @_;
    my $deadline = Time::HiRes::time() + $secs;
    my $nap = 0.0005;
    until (_gone($pid)) {
        return 0 if Time::HiRes::time() >= $deadline;
        Time::HiRes::sleep($nap);
        $nap *= 2 if $nap < 0.02;
    }
    return 1;
}

# Ends a worker for sure (it has $grace seconds, one by default, then SIGTERM,
# then SIGKILL) and lets the pool reap it; says how it ended.
sub _reap {
    my ($self, $w, $grace) = @_;
    my $pid = $w->{pid};
    unless (_wait_gone($pid, defined $grace ? $grace : 1)) {
        kill 'TERM', $pid;
        unless (_wait_gone($pid, 1)) {
            kill 'KILL', $pid;
            _wait_gone($pid, 5);
        }
    }
    my ($code, $sig) = $self->{pool}->stop($w->{slot});
    $w->{dead} = 1;
    return _how($code, $sig);
}

sub _how {
    my ($code, $sig) = @_;
    return 'ended (its status could not be read)' if !defined $code || ($code == 255 && $sig == 127);
    if ($sig) {
        require Config;
        my $name = (split ' ', $Config::Config{sig_name})[$sig];
        return "was killed by signal $sig" . (defined $name ? " (SIG$name)" : '');
    }
    return "exited with status $code";
}

sub _check_alive {
    my ($self, $now) = @_;
    for my $w (@{ $self->{w} }) {
        next if !$w || $w->{dead};
        if (_gone($w->{pid})) {
            # what it wrote before it ended is still to be read
            my $rin = '';
            vec($rin, $w->{rfd}, 1) = 1;
            $self->_read($w)
                while !$w->{dead} && select(my $rout = $rin, undef, undef, 0) > 0;
            $self->_died($w);
            next;
        }
        my $b = $w->{inflight}[0];
        if ($self->{timeout} && $b && defined $w->{busy_since}
            && $now - $w->{busy_since} > $self->{timeout} * $b->{n} + 2) {
            # the worker's own alarm did not end it: end it from here
            $w->{timed_out} = 1;
            kill 'KILL', $w->{pid};
        }
    }
}

sub _died {
    my ($self, $w) = @_;
    return if $w->{dead} || $self->{shut};
    my $how = $self->_reap($w, EXIT_GRACE);
    my @inflight = @{ $w->{inflight} };
    $w->{inflight} = [];
    return if $self->{shut};
    my $expected = $w->{retiring} && !@inflight;
    $self->{stats}{abnormal_exits}++ unless $expected;
    my $timed_out = $w->{timed_out}
        || ($self->{timeout} && $how =~ /\(SIGALRM\)/);
    if (!$w->{ready}) {
        unshift @{ $self->{ready} }, @inflight;
        $self->{broken} ||= "a worker $how during init";
        return;
    }
    if (@inflight) {
        my $first = shift @inflight;
        unshift @{ $self->{ready} },
            $self->_retry($first, "$w->{pid} $how", $timed_out),
            @inflight;
    }
    $self->{stats}{restarts}++;
    $self->_start($w->{slot});
}

# The batch a worker was running when it ended: several requests are
# retried one by one, uncharged until one of them ends a worker alone; a
# lone request is charged, and fails once it has ended more than `retries`
# workers (or at once, when it timed out).
sub _retry {
    my ($self, $b, $how, $timed_out) = @_;
    if ($b->{kind} eq 'R' && $b->{n} > 1) {
        my @reqs = _unpack_requests(${ $b->{pref} });
        my @one;
        my $o = 0;
        for my $seg (@{ $b->{segs} }) {
            my ($sink, $base, $cnt, $charges) = @$seg;
            for my $j (0 .. $cnt - 1) {
                my $r = $reqs[$o + $j];
                push @one, { kind => 'R', n => 1,
                    pref => \(defined $r ? pack('NN N/a*', 1, 0, $r) : pack('NNN N', 1, 1, 0, 0)),
                    segs => [[$sink, $base + $j, 1, $charges, 1]] };
            }
            $o += $cnt;
        }
        return @one;
    }
    if ($b->{kind} eq 'L') {
        my $job = $b->{job};
        my ($sep, $block) = ($b->{sep}, ${ $b->{pref} });
        my $tail = substr($block, -length $sep) eq $sep;
        my @rec = split /\Q$sep\E/, $block, -1;
        pop @rec if $tail;
        if (@rec > 1) {
            $job->{parts_left} = @rec;
            my @one;
            for my $k (0 .. $#rec) {
                my $part = { parent => $job, run => $job->{run}, charges => 0, suspect => 1 };
                push @{ $job->{parts} }, $part;
                my $data = $rec[$k] . ($k < $#rec || $tail ? $sep : '');
                push @one, { kind => 'L', n => 1, job => $part,
                             sep => $sep, pref => \$data };
            }
            return @one;
        }
        return $self->_charge($b, \$job->{charges}, \$job->{suspect}, 'record', $how, $timed_out);
    }
    my $seg = $b->{segs}[0];
    return $self->_charge($b, \$seg->[3], \$seg->[4], 'request', $how, $timed_out);
}

# Charges a lone request (or record) for the worker it ended: retried while
# it has ended no more than `retries` workers, failed after that.
sub _charge {
    my ($self, $b, $charges, $suspect, $what, $how, $timed_out) = @_;
    # A request retried alone because its batch's worker ended is charged
    # for that worker too once it ends one alone: it was the one.
    $$charges += $$suspect ? 2 : 1;
    $$suspect = 0;
    my $c = $$charges;
    my $msg;
    if ($timed_out) {
        $msg = "timed out after $self->{timeout} seconds (its worker $how)";
    } elsif ($c > $self->{retries}) {
        $msg = "$what ended its worker " . ($c > 1 ? "$c times" : 'once') . " (pid $how)";
    } else {
        return $b;
    }
    $self->_fail_batch($b, $msg);
    return;
}

sub _unpack_requests {
    my ($payload) = @_;
    my ($n, $nundef) = unpack('NN', $payload);
    my @undef = $nundef ? unpack("x8 N$nundef", $payload) : ();
    my @req = unpack('x' . (8 + 4 * $nundef) . ' (N/a*)*', $payload);
    $req[$_] = undef for @undef;
    $#req = $n - 1;
    return @req;
}

# A block bigger than a recycled worker's remaining budget: its first
# $count records become a block of their own.
sub _split_block_front {
    my ($self, $count) = @_;
    my $b = $self->{ready}[0];
    my $job = $b->{job};
    my $sep = $b->{sep};
    my $pos = 0;
    for (1 .. $count) {
        $pos = index(${ $b->{pref} }, $sep, $pos);
        return if $pos < 0;
        $pos += length $sep;
    }
    $job->{parts_left} = 2;
    my @parts = map { { parent => $job, run => $job->{run}, charges => 0 } } 1, 2;
    $job->{parts} = \@parts;
    splice(@{ $self->{ready} }, 0, 1,
        { kind => 'L', n => $count, job => $parts[0], sep => $sep,
          pref => \(my $head = substr(${ $b->{pref} }, 0, $pos)) },
        { kind => 'L', n => $b->{n} - $count, job => $parts[1], sep => $sep,
          pref => \(my $rest = substr(${ $b->{pref} }, $pos)) });
}

# ---------------------------------------------------------------- lines

sub map_lines {
    my ($self, $in, $out, %opt) = @_;
    $self->_usable('map_lines');
    my $sep = exists $opt{separator} ? delete $opt{separator} : "\n";
    Carp::croak('separator must be a non-empty string')
        unless defined $sep && length $sep;
    utf8::downgrade($sep, 1) or Carp::croak('separator must be a byte string');
    my $on_error = delete $opt{on_error} || sub {
        my ($recno, $err) = @_;
        $err .= "\n" unless $err =~ /\n\z/;
        warn "record $recno: $err";
    };
    my $progress = delete $opt{progress};
    my $first = exists $opt{first_recno} ? delete $opt{first_recno} : 1;
    Carp::croak("first_recno must be an integer, not '$first'")
        unless defined $first && $first =~ /^-?\d+\z/;
    Carp::croak('unknown option' . (keys %opt > 1 ? 's ' : ' ')
                . join(', ', sort keys %opt)) if %opt;

    my $ifd = fileno($in);
    my $sys_in = defined $ifd && $ifd >= 0;
    my $ofd = fileno($out);
    my $sys_out = defined $ofd && $ofd >= 0;
    if ($sys_out) {
        # what the caller printed before must come out before our output
        my $old = select $out;
        my $af = $|;
        $| = 1;
        $| = $af;
        select $old;
    }
    my $run = { jobs => {}, next_seq => 0, write_seq => 0, pending => 0 };
    my %st = (records => 0, failed => 0, bytes_in => 0, bytes_out => 0);
    my $abnormal0 = $self->{stats}{abnormal_exits};
    my @records0 = map { $_ || 0 } @{ $self->{slot_records} };
    # The input is read straight into block buffers: a block is cut by
    # handing on the buffer itself, and only the bytes after the last
    # separator (part of a record) move to the next one.  Buffers come back
    # once their block is answered, so a stream reuses a few allocations
    # instead of copying and faulting in fresh memory for each block.
    my $ib = $self->_spare;
    my $eof = 0;
    my $last_progress = 0;
    my $bound = 8 * BLOCK_MAX * $self->{n};
    $bound = 32 << 20 if $bound < 32 << 20;

    # Until the cost per byte is known, blocks start small; at the end of
    # input no block takes more than its share.
    my $block_size = sub {
        my $B = $self->{est_block} ? int(BLOCK_SECONDS / $self->{est_block}) : BLOCK_START;
        if ($eof) {
            my $share = int(length($$ib) / (2 * $self->{n})) + 1;
            $B = $share if $share < $B;
        }
        return $B < BLOCK_MIN ? BLOCK_MIN : $B > BLOCK_MAX ? BLOCK_MAX : $B;
    };

    my ($scan, $long) = (0, 0);
    my $cut = sub {
        my ($len) = @_;
        ($scan, $long) = (0, 0);
        my $block = $ib;
        $ib = $self->_spare;
        if ($len < length $$block) {
            # the rest moves on; cut off at the end, which moves nothing
            $$ib .= substr($$block, $len);
            substr($$block, $len, length($$block) - $len, '');
        }
        my $job = { run => $run, bytes => $len, charges => 0 };
        $run->{jobs}{ $run->{next_seq}++ } = $job;
        $run->{pending} += $len;
        # records are counted only where they matter: recycling counts
        # them, and the time limit of a block is per record
        my $n = 0;
        if ($self->{max_requests} || $self->{timeout}) {
            $n = _count($$block, $sep);
            $n++ if substr($$block, -length $sep) ne $sep;
        }
        push @{ $self->{ready} }, { kind => 'L', n => $n || 1, job => $job,
                                    sep => $sep, pref => $block };
    };

    # Writes $len bytes of $_[0] from $off (all of it by default).
    my $emit = sub {
        my $off = $_[1] || 0;
        my $len = defined $_[2] ? $_[2] : length($_[0]) - $off;
        return unless $len > 0;
        _put($out, $sys_out, $ofd, $_[0], $off, $len);
        $st{bytes_out} += $len;
    };

    my $ok = eval {
        while (1) {
            # Cut blocks: full-sized ones while the input streams; whatever
            # complete records there are when a worker would otherwise idle.
            while ($run->{pending} < $bound && !grep { $_->{job} && $_->{job}{run} == $run } @{ $self->{ready} }) {
                my $len = length $$ib;
                last unless $len;
                my $B = $block_size->();
                my $p;
                if ($len >= $B) {
                    $p = rindex($$ib, $sep, $B - length $sep);
                    $p = index($$ib, $sep, $scan > $B ? $scan : $B) if $p < 0;
                    if ($p < 0) {
                        # a record longer than a block: read on until it ends
                        $scan = $len - length($sep) + 1;
                        $long = 1;
                        last unless $eof;
                        $cut->($len);
                        next;
                    }
                } elsif ($eof) {
                    $cut->($len);
                    next;
                } elsif ($self->_idle_worker) {
                    # a worker would idle: what is there goes now
                    $p = rindex($$ib, $sep);
                    last if $p < 0;
                } else {
                    last;
                }
                $cut->($p + length $sep);
            }

            # Write what is ready, in order.
            while (my $job = $run->{jobs}{ $run->{write_seq} }) {
                last unless $job->{done};
                delete $run->{jobs}{ $run->{write_seq}++ };
                $run->{pending} -= $job->{bytes};
                my $pos = 0;
                for my $f (@{ $job->{fails} }) {
                    my ($i, $at, $msg) = @$f;
                    $emit->(${ $job->{out} }, $pos, $at - $pos);
                    $pos = $at;
                    $st{failed}++;
                    $on_error->($st{records} + $i + $first, $msg);
                }
                $emit->(${ $job->{out} }, $pos);
                $self->_recycle(delete $job->{out});
                $st{records} += $job->{nrec};
                $st{bytes_in} += $job->{bytes};
                if ($progress) {
                    my $now = Time::HiRes::time();
                    if ($now - $last_progress >= 0.1) {
                        $last_progress = $now;
                        $progress->($st{records}, $st{bytes_in});
                    }
                }
            }

            last if $eof && !length($$ib) && !%{ $run->{jobs} };

            # Reads go into the block being filled, as much as completes
            # it: a regular file then ends each read where a block ends.
            my $want = $long ? BLOCK_MAX : $block_size->() - length $$ib;
            my $can_read = !$eof && $want > 0 && $run->{pending} < $bound;
            $want = 1 << 16 if $want < 1 << 16;
            if ($can_read && !$sys_in) {
                my $n = read($in, $$ib, $want, length $$ib);
                die Brindlecove::ProcessPool::Workers::Error->new('read input', $!)
                    unless defined $n;
                $eof = 1 unless $n;
                $self->_pump(0);
                next;
            }
            if ($self->_pump(CHECK_EVERY, $can_read ? $ifd : undef)) {
                my $n = sysread($in, $$ib, $want, length $$ib);
                if (!defined $n) {
                    next if $! == Errno::EINTR() || $! == Errno::EAGAIN();
                    die Brindlecove::ProcessPool::Workers::Error->new('read input', $!);
                }
                $eof = 1 unless $n;
            }
        }
        1;
    };
    unless ($ok) {
        my $e = $@;
        $self->_cancel($run);
        die $e;
    }
    if ($progress && $st{records} && Time::HiRes::time() != $last_progress) {
        $progress->($st{records}, $st{bytes_in});
    }
    $st{abnormal_exits} = $self->{stats}{abnormal_exits} - $abnormal0;
    $st{per_worker} = [ map { ($self->{slot_records}[$_] || 0) - ($records0[$_] || 0) }
                        0 .. $self->{n} - 1 ];
    return \%st;
}

sub _idle_worker {
    my ($self) = @_;
    for my $w (@{ $self->{w} }) {
        return 1 if $w && !$w->{dead} && !$w->{retiring} && !@{ $w->{inflight} };
    }
    return 0;
}

# Writes $len bytes of $_[3] from $off, without copying them.
sub _put {
    my ($fh, $sys, $fd, undef, $off, $len) = @_;
    unless ($sys) {
        print {$fh} substr($_[3], $off, $len)
            or die Brindlecove::ProcessPool::Workers::Error->new('write output', $!);
        return;
    }
    my $end = $off + $len;
    while ($off < $end) {
        my $n = syswrite($fh, $_[3], $end - $off, $off);
        if (!defined $n) {
            next if $! == Errno::EINTR();
            if ($! == Errno::EAGAIN() || $! == Errno::EWOULDBLOCK()) {
                my $win = '';
                vec($win, $fd, 1) = 1;
                select(undef, $win, undef, 1);
                next;
            }
            die Brindlecove::ProcessPool::Workers::Error->new('write output', $!);
        }
        $off += $n;
    }
}

# ---------------------------------------------------------------- ending

sub shutdown {
    my ($self, %opt) = @_;
    return if $self->{shut} || $$ != $self->{owner};
    Carp::croak("shutdown can't be called from inside a callback of the service")
        if $self->{in_pump};
    my $timeout = defined $opt{timeout} ? $opt{timeout} : 3;
    $self->{shut} = 1;
    local $SIG{PIPE} = 'IGNORE';

    my @live = grep { $_ && !$_->{dead} } @{ $self->{w} };
    my @lost = (@{ $self->{ready} }, map { @{ $_->{inflight} } } @live);
    $_->{inflight} = [] for @live;
    for my $w (@live) {
        push @{ $w->{outq} }, \_frame('Q', 0, '');
        $self->_write($w);
    }
    # Wait for them to leave, reading (and dropping) what they still send
    # so that none blocks on a full pipe.
    my $deadline = Time::HiRes::time() + $timeout;
    while (my @left = grep { !_gone($_->{pid}) } @live) {
        my $now = Time::HiRes::time();
        last if $now >= $deadline;
        my ($rin, $win) = ('', '');
        for my $w (@left) {
            vec($rin, $w->{rfd}, 1) = 1 unless $w->{eof};
            vec($win, $w->{wfd}, 1) = 1 if @{ $w->{outq} };
        }
        my $t = $deadline - $now;
        $t = 0.02 if $t > 0.02;
        select(my $rout = $rin, my $wout = $win, undef, $t);
        for my $w (@left) {
            $self->_write($w) if vec($wout || '', $w->{wfd}, 1);
            next unless vec($rout || '', $w->{rfd}, 1);
            my $buf = '';
            my $n = Brindlecove::ProcessPool::readfd($w->{rfd}, $buf, 1 << 16, 0);
            $w->{eof} = 1 if defined $n && !$n;
        }
    }
    $self->_reap($_, 0) for @live;
    $self->{pool}->_free;
    delete $LIVE{ Scalar::Util::refaddr($self) };

    # What was never answered is failed, not dropped.
    $self->{queue} = [];
    $self->{qcount} = 0;
    $self->{ready} = [];
    local $self->{cb_errors} = [];
    local $self->{user_pipe} = $SIG{PIPE};
    for my $b (@lost) {
        next if $b->{kind} ne 'R';
        for my $seg (@{ $b->{segs} }) {
            next unless ref $seg->[0] eq 'CODE';
            $self->_callback($seg->[0], undef, 'the service was shut down before answering')
                for 1 .. $seg->[2];
        }
    }
    return 1;
}

# Ends every worker at once with SIGKILL and releases the pool: for signal
# handlers and emergencies.  Nothing in flight is answered.
sub abort {
    my ($self) = @_;
    return if $self->{shut} || $$ != $self->{owner};
    $self->{shut} = 1;
    my @live = grep { $_ && !$_->{dead} } @{ $self->{w} };
    kill 'KILL', $_->{pid} for @live;
    for my $w (@live) {
        _wait_gone($w->{pid}, 5);
        $self->{pool}->stop($w->{slot});
        $w->{dead} = 1;
    }
    $self->{pool}->_free;
    delete $LIVE{ Scalar::Util::refaddr($self) };
    return 1;
}

sub stats { +{ %{ $_[0]{stats} } } }

sub DESTROY {
    my ($self) = @_;
    return if $self->{shut} || !defined $self->{owner} || $$ != $self->{owner};
    local ($@, $!, $?);
    eval { $self->shutdown; 1 };
}

END {
    local $?;
    for my $svc (grep { defined } values %LIVE) {
        next if $svc->{shut} || $svc->{owner} != $$;
        eval { $svc->shutdown; 1 };
    }
}

package Brindlecove::ProcessPool::Workers::Error;

use overload '""' => sub { $_[0]{message} }, fallback => 1;

sub new {
    my ($class, $op, $errno) = @_;
    my $text = do { local $! = $errno; "$!" };
    return bless { op => $op, errno => 0 + $errno,
                   message => "can't $op: $text\n" }, $class;
}

sub errno   { $_[0]{errno} }
sub op      { $_[0]{op} }
sub message { $_[0]{message} }

1;
__END__

=head1 NAME

Brindlecove::ProcessPool::Workers - a service of N stateful worker processes answering requests

=head1 SYNOPSIS

    use Brindlecove::ProcessPool::Workers;

    my %cache;
    my $w = Brindlecove::ProcessPool::Workers->new(
        workers => 4,                               # default: the processors
        init    => sub { %cache = () },             # once in each worker
        handler => sub {                            # in the workers
            my ($request) = @_;
            $cache{$request} = uc $request unless exists $cache{$request};
            return $cache{$request};
        },
    );

    my @replies = $w->map(qw(alpha beta gamma));    # ("ALPHA", "BETA", "GAMMA")

    my %got;
    $w->submit("delta", sub {
        my ($reply, $error) = @_;
        $got{delta} = defined $error ? "failed: $error" : $reply;
    });
    $w->wait;                                       # every callback has run

    open my $in, '<', \"one\ntwo\n";
    my $stats = $w->map_lines($in, \*STDOUT);       # prints ONE and TWO
    printf "%d records\n", $stats->{records};       # 2 records

    $w->shutdown;                                   # also done by DESTROY

=head1 DESCRIPTION

A pool of long-running worker processes, each a fork of the program, and
the dispatcher around it: requests go to the workers in batches, replies
come back in request order (C<map>, C<map_lines>) or as soon as they are
ready (C<submit>), a worker that dies is replaced and what it held is
retried, and C<shutdown> ends every worker in a bounded time.  It is plain
Perl over L<Brindlecove::ProcessPool>'s entry points.

Requests and replies are byte strings of any content and length (empty,
NUL bytes, newlines, high bytes, megabytes): they travel as raw bytes in
length-prefixed frames, never escaped.  A request with the UTF-8 flag
travels as C<print> would write it: as bytes when every character fits in
one, else as its UTF-8 form (without a warning), and arrives as a byte
string.  The replies of C<map> and C<submit> come back as the handler
returned them (the batch's replies travel as one L<Storable> image):
undef as undef, a number as a number, a character string as characters.
The outputs of C<map_lines> are bytes, made as C<print> would make them.

=head1 METHODS

=head2 new

    my $w = Brindlecove::ProcessPool::Workers->new(%options);

Starts the workers and returns at once (it does not wait for C<init>).

=over 4

=item handler => CODE (required)

Called in a worker with one request, in scalar context; its return value
is the reply.  It may die (that request fails, the worker goes on), print,
warn, read STDIN or end its process: see L</THE WORKERS>.

=item block_handler => sub { my ($records, $sep) = @_; ...; return $outputs }

Optional, for C<map_lines> only: a faster way to map a whole block.  It
is called in a worker with a block's records joined by the separator
(without a final one) and must return the output records joined by the
separator, as many as it was given, each what C<handler> would have
returned for its record.  When it dies, returns undef, or returns another
number of records, the block is mapped record by record with C<handler>,
so failures stay per record.  It may instead return an array reference,
C<[$outputs, $count]>, with the number of records it mapped (as from
C<split>): that count is then taken as it is (the records are not counted
again, in the block or in the outputs), so an output record may then
hold the separator.  With C<timeout> the block gets the time
limit times its number of records.

=item init => CODE

Called once in each worker, before its first request (also in every
replacement worker).  If it dies, or the worker ends before C<init> has
returned, the service is broken: the call that notices it croaks
C<init died in a worker: MESSAGE> (or C<a worker ... during init>), and so
does every later call but C<shutdown>.

=item workers => N

The number of workers; by default the number of processors this process
may run on (its affinity mask, as C<nproc> counts them).

=item retries => N

How many times a request is retried after it ended a worker (default 1):
a request that has ended a worker more than C<retries> times fails.  See
L</FAILURES>.

=item max_requests => N

Recycle each worker after it has answered N requests (records, for
C<map_lines>): it is asked to leave and replaced.  The count is the pool's
own use counter (C<inc>/C<used> of its slot).  Default 0: never.

=item timeout => SECONDS

A time limit for each request (fractions allowed).  A request still running
after that long fails with C<timed out after S seconds (...)>, and its
worker is replaced; the other requests go on.  Default 0: none.

=back

=head2 map

    my @replies = $w->map(@requests);

Sends every request and returns the replies in request order once all are
in.  If handlers died for some requests, C<map> croaks after all are in:
C<request I<i> failed: MESSAGE>, naming the first failed request's index
(from 0) and its error, with C<(and N more)> when there were others.  In
scalar context it returns the number of replies.

=head2 submit

    $w->submit($request, sub { my ($reply, $error) = @_; ... });

Queues one request; the callback gets C<($reply, undef)> once it is
answered, or C<(undef, $error)> if it failed.  Callbacks run inside the
service's calls: in C<submit> (which sends what it can without waiting),
C<wait>, C<map> and C<map_lines>.  A callback that dies makes that call
die with its error, after the other replies of the same round have been
delivered.  A callback may call C<submit>; C<map>, C<wait>, C<map_lines>
and C<shutdown> croak inside a callback.  When more than 262144 requests
are queued, C<submit> waits for replies before it returns.

=head2 wait

    $w->wait;

Returns when every submitted request has had its callback.

=head2 pending

The number of requests queued or in flight (batches in flight count as
one each).

=head2 map_lines

    my $stats = $w->map_lines($in_fh, $out_fh, %options);

Maps a stream of records: each record of C<$in_fh> (without its separator)
goes through C<handler>, and the return value, followed by the separator,
is the output record (undef gives an empty record).  Outputs are written to
C<$out_fh> in input order, each as soon as every record before it is done.
A final record without a separator is output without one, as C<perl -pe>
would.  Records are any bytes: the handler sees exactly what was between
two separators.

=over 4

=item separator => STRING

The record separator for input and output, default C<"\n"> (C<"\0"> for
NUL-separated input).  Any non-empty byte string.

=item on_error => sub { my ($recno, $error) = @_ }

Called in record order for each failed record (its handler died, it ended
its worker more than C<retries> times, or it timed out); C<$recno> counts
from C<first_recno>.  A failed record produces no output.  The call comes
after the output of the records before it has been written.  Default:
C<warn "record N: ERROR">.

=item progress => sub { my ($records_done, $bytes_in_done) = @_ }

Called at most ten times a second as output is written, and once at the
end.

=item first_recno => N

The number of the first record for C<on_error> (default 1); for several
inputs mapped one after the other.

=back

Returns a hash reference:

    { records => N, failed => N, bytes_in => N, bytes_out => N,
      abnormal_exits => N,      # workers that ended unasked during the call
      per_worker => [N, ...] }  # records answered by each slot

C<$in_fh> is read with C<sysread> (it must not hold data buffered by an
earlier C<readline>), and waited on with C<select> beside the workers, so
replies are written while input is slow; a handle without a descriptor
(an in-memory file) is read with C<read>.  Anything the caller printed to
C<$out_fh> is flushed first; outputs are written with C<syswrite> (with
C<print> on a handle without a descriptor).

A failed read or write dies with a C<Brindlecove::ProcessPool::Workers::Error>
object: C<< $e->errno >> is the C<$!> of the failed call (so EPIPE can be
told apart), C<< $e->op >> is C<read input> or C<write output>, and it
stringifies to C<can't write output: Broken pipe> and the like.  Nothing
is stopped: the records in flight are dropped, the workers stay up, and
the service can be used again (or shut down).  The layer does not touch
C<$SIG{PIPE}> around these writes: with the default disposition a closed
reader ends the program by SIGPIPE, as for C<print>; set C<$SIG{PIPE}> to
C<'IGNORE'> to get the error object.

The call may be made several times on the same service, for one input
after another.

=head2 shutdown

    $w->shutdown;
    $w->shutdown(timeout => 5);

Asks every worker to leave, waits up to C<timeout> seconds (default 3) for
them, reading and dropping what they still send; then sends SIGTERM to
those left, waits a second, sends SIGKILL, and lets the pool reap them all
and releases it (C<_free>).  It never hangs on a worker that ignores
signals.  Requests still queued or in flight are not answered: their
C<submit> callbacks get C<(undef, "the service was shut down before answering")>.
Afterwards no worker, no descriptor and no pool record of the service
remain, and every method but C<shutdown> croaks.

C<DESTROY> and an C<END> block shut the service down too, but only in the
process that created it: in a fork of the parent, or in a worker, they do
nothing, so such a process never stops its parent's workers.  Calling
C<shutdown> there does nothing either.

=head2 abort

    $w->abort;

Ends every worker at once with SIGKILL, reaps them and releases the pool,
without asking or waiting; nothing in flight is answered and no callback
runs.  Meant for a signal handler (C<$SIG{INT}>) that then ends the
program; the service is shut down afterwards, and a C<map>, C<wait> or
C<map_lines> that the signal interrupted croaks C<the service was shut
down> if the handler returns.

=head2 workers, pids, stats

    my $n    = $w->workers;    # the number of slots
    my @pids = $w->pids;       # the live workers' process ids
    my $s    = $w->stats;      # { abnormal_exits => N, restarts => N }

=head1 THE WORKERS

Each worker is a fork of the program made by the pool's C<start_long>.
Before C<init> the layer's worker code:

=over 4

=item *

resets C<$SIG{INT}>, C<$SIG{TERM}>, C<$SIG{PIPE}> and C<$SIG{ALRM}> to
their defaults, so the pool's SIGINT and a dead parent's pipes end it even
when the parent ignores them;

=item *

closes the parent-side pipe ends of every other worker of every service of
this process, which it inherited, so that one worker's end of input (or a
dead parent) is seen by the worker;

=item *

moves its protocol to private descriptors, closes the pool's copies, and
gives the handler an STDIN on F</dev/null> and an STDOUT that writes to the
shared standard error (autoflushed).  So C<print> in a handler or in
C<init> ends up on the parent's standard error, C<warn> there too, and
reading STDIN gives end of file: nothing a handler does with its standard
handles reaches the protocol.

=back

A worker ends with C<POSIX::_exit> (no END blocks, no destructors) when
it is asked to leave, when its input ends (the parent is gone), or after
C<init> died.  A handler that calls C<exit> ends the worker through Perl's
usual exit, END blocks included, as in any fork; this layer's own END
block does nothing there.  The handler must not use C<alarm> while
C<timeout> is set: the time limit is the worker's alarm.

=head1 BATCHING

Requests are sent in batches: one frame carries many requests to a worker
and one frame carries their replies back.  A batch is sized to keep a
worker busy for about 5 milliseconds, from the handler's time per request
measured by the workers (the first batches hold one request), but holds
at most 65536 requests, about 1 MB of requests, and no more than an even
share of what is queued over all workers, so that the work spreads.  Each
worker has up to two batches in flight, so it never waits for the parent
between batches.  A slow request thus holds up only the replies of its own
batch.  Writes to workers are non-blocking (partial writes and EINTR are
handled), and replies are read while writing, so the parent never blocks
on a full pipe while a worker waits on it.  While the layer writes to a
worker it ignores SIGPIPE (localised) and handles EPIPE.

C<map_lines> reads its input in large blocks cut at a record separator and
sends each block as one request: the worker splits it, maps each record
(the handler is called per record) and joins the outputs, so the parent's
work per record is near zero.  Blocks aim at about 10 milliseconds of
worker time, measured per byte by the workers (256 bytes to 256 KB; 4 KB
while nothing is measured yet), and at the end of input no block takes
more than its share (the rest over twice the workers).  When a worker
would otherwise be idle, the complete records read so far go at once,
however few: input that arrives slowly or interactively is answered
record by record, input that streams goes in large blocks.  Frames and
blocks are written and read without being copied into one another: the
input is read straight into the buffer that goes to a worker, and only the
part of a record after a block's last separator moves to the next buffer.
Buffers are kept and reused, and blocks stay small enough (256 KB) that
the few in flight stay in the processor's caches; larger blocks were
slower, by the fresh memory they touch.

=head1 MEMORY

C<map> holds its requests and replies.  C<submit> queues at most about
262144 requests before it waits.  C<map_lines> holds at most one block of
unread input (more only while one record is longer than that) and stops
reading once the blocks sent but not yet written
(including replies waiting for an earlier block) pass
max(32 MB, 2 MB per worker); it reads again as output is written.

=head1 FAILURES

A worker that ends unasked (exit, signal, C<POSIX::_exit> in a handler) is
replaced in its slot at once, so the service keeps its number of workers.
What it held is not lost:

=over 4

=item *

batches that it had not started are sent again as they were;

=item *

the batch it was running is retried request by request (a block record by
record), uncharged, so that requests that were merely in the same batch
are answered;

=item *

a request that ends a worker while it is alone in its batch is charged for
it; it is retried while it has ended no more than C<retries> workers, and
then fails with C<request ended its worker N times (pid P exited with
status S)> or C<(pid P was killed by signal 9 (SIGKILL))>;

=item *

a request that runs past C<timeout> fails at once with C<timed out after
S seconds (...)> (its worker is killed by its alarm, or by the parent two
seconds later).

=back

C<stats> counts C<abnormal_exits> and C<restarts>.  A request whose
handler dies is not retried: its error is the handler's message.  The
requests of a batch whose worker ended were not answered, so they run
again, one by one: a handler with side effects may see a request twice
when another request of its batch ended the worker.

=head1 CAVEATS

Do not set C<$SIG{CHLD} = 'IGNORE'>: the pool then cannot read how a
worker ended.  The service belongs to the thread and the process that
created it.

=head1 PERFORMANCE

F<bench/workers.pl> runs the service (2 workers), the same handler in a
serial loop, and MCE::Map with C<user_begin>, interleaved round by round,
and first measures what the machine gives: two busy processes against
one.  Figures of one run (median of 5 rounds, wall time) on a quiet
machine of two processors, where two busy processes ran 1.92 times as
fast as one:

    handler                        requests  service  serial  MCE::Map  vs serial  vs MCE
    uc of a short string (0.16 us)  400,000   0.21 s   0.06 s  1.05 s     0.30x     5.09x
    a substitution (~1 us)          200,000   0.18 s   0.20 s  1.10 s     1.10x     5.99x
    a ~20 us loop                    60,000   0.86 s   1.47 s  1.52 s     1.71x     1.77x
    map_lines, uc of 1M lines, handler        0.22 s   0.13 s (one perl, inline)   0.60x
    map_lines, uc of 1M lines, block_handler  0.08 s   0.13 s                      1.72x

The ~20 us loop gains what the machine gives two processes running that
very loop, which on this machine swung between 1.5 and 1.9 from one
minute to the next; the parent's own share was 0.05 to 0.08 s of CPU.

What a request costs the service in CPU, besides its handler: about
1.3 us in all (parent: packing, its share of a frame's system calls, the
thaw of the replies; worker: unpacking, the call in an eval, the frozen
reply).  A handler much cheaper than that is faster in one process, and
the service pays off from a few microseconds per request when there are
processors to spare; it is several times faster than MCE::Map at every
size measured.  C<map_lines> costs the parent a few nanoseconds per byte
and no work per record; with a C<block_handler> the workers' cost besides
the map itself is near zero.

=cut
