package Brindlecove::ProcessPool;

use strict;
use warnings;

our $VERSION = '1.00';

require XSLoader;
XSLoader::load(__PACKAGE__, $VERSION);

1;
__END__

=head1 NAME

Brindlecove::ProcessPool - a fixed-size pool of long-running worker processes

=head1 SYNOPSIS

    use Brindlecove::ProcessPool;

    my $pool = Brindlecove::ProcessPool->new(2);

    # Each worker is a fork of this program running one subroutine, with
    # its STDIN and STDOUT on pipes the parent keeps.
    for my $slot (0, 1) {
        $pool->start_long($slot, sub {
            $| = 1;
            while (my $line = <STDIN>) {
                chomp $line;
                my %req = Brindlecove::ProcessPool::decode_kv($line);
                print Brindlecove::ProcessPool::encode_kv(
                    id => $req{id}, upper => uc $req{text}), "\n";
            }
            exit 0;    # end cleanly once the parent closes our input
        });
    }

    # One request to slot 0, one reply back.
    my $req = Brindlecove::ProcessPool::encode_kv(id => 1, text => "hello world");
    Brindlecove::ProcessPool::writefd($pool->wfd(0), "$req\n");

    my $buf = '';
    until ($buf =~ /\n/) {
        my $n = Brindlecove::ProcessPool::readfd($pool->rfd(0), $buf, 4096, length $buf);
        die "read: $!" unless defined $n;
        die "worker went away" if $n == 0;
    }
    chomp $buf;
    my %reply = Brindlecove::ProcessPool::decode_kv($buf);
    print "$reply{upper}\n";              # HELLO WORLD
    $pool->inc(0);                        # count the use

    # A readiness loop over every worker's output:
    my $rin = '';
    vec($rin, $_, 1) = 1 for $pool->rfds;

    # Stop every worker, then release the pool.
    for my $slot ($pool->slots) {
        my ($code, $signal) = $pool->stop($slot);
    }
    $pool->_free;

=head1 DESCRIPTION

A pool is a table of a fixed number of slots.  Each slot can hold one
worker: a fork of the calling program that runs one Perl subroutine, with
its standard input and standard output on pipes whose other ends the
parent keeps, and with the write end of a third pipe, the error pipe, left
open in it.  Around that the module offers per-slot queries, descriptor
lists for the caller's own C<select> loop, one-system-call write and read,
and a one-line key/value message format.

Everything is native code; each call does one job and returns at once,
except C<stop>, which waits for its worker, and C<writefd>/C<readfd>,
which block as their one system call blocks.

Loading the module raises the process's soft open-file limit to its hard
limit (every worker costs three descriptors in the parent); if the system
refuses, it warns C<Can't max the nofile limit> and loads all the same.

=head2 Integer arguments

Every integer argument (a slot count, a slot index, a descriptor, a byte
count or offset) is read as a perl with 32-bit integers reads it: a value
from -2**31 to 2**32-1 keeps its low 32 bits (3000000000 reads as
-1294967296), any larger value (C<2**32 + 1>, the string C<"4294967298">,
C<2**40>, infinity) reads as -1, any smaller one as -2**31, and NaN as 0;
a fraction is cut toward zero.  So a number out of range never wraps into a
small valid index or descriptor: C<writefd(2**32 + 1, ...)> fails on
descriptor -1 rather than writing to STDOUT.

=head1 METHODS

Methods take the pool object as their first argument.  Slot indexes run
from 0 to the slot count minus one; an index outside that range croaks
C<slot index I<i> is out of range for a pool of I<n> slots> and touches
nothing.

=head2 new

    my $pool = Brindlecove::ProcessPool->new($max);

A new pool of C<$max> free slots (0 to 134217727; the count is taken as a
32-bit integer).  The first argument is ignored: the object is always
blessed into C<Brindlecove::ProcessPool>, even when called through a
subclass.  A negative count or one above 134217727 croaks with
C<panic: memory wrap>.

=head2 _free

    $pool->_free;

Releases the pool's memory.  There is B<no destructor>: a pool that goes
out of scope without C<_free> stays allocated.  C<_free> stops no worker
and closes no descriptor; C<stop> each occupied slot first.  Afterwards
the object is stale, and every method given it (C<_free> included) croaks
C<self is a released Brindlecove::ProcessPool (or one made by another thread)>.

=head2 start_long

    $pool->start_long($i, $func);

Starts a worker in slot C<$i> running C<$func> (a code reference, or the
name of a subroutine: anything C<call_sv> accepts; it is not checked in
the parent).  Makes the input, output and error pipes, forks, and in the
parent records the worker's pid and descriptors in the slot, with C<used>
reset to 0.  It returns at once, without waiting for any sign from the
worker, and returns the pool object.

Launching into an occupied slot replaces its record: the earlier worker
keeps running and can no longer be stopped through the pool.  C<stop>
a slot before launching into it again.

Output the parent still buffers is flushed before the fork, so it is not
written a second time by the worker.  The flush comes first, before the
pool object is looked at or anything is made: an I/O layer whose flush
dies (a C<:via> layer's C<FLUSH>, or an C<:encoding> layer under fatal
warnings holding a character it cannot encode) makes C<start_long> die
with that error, with nothing created and the slot unchanged.

=head2 stop

    my ($exit_code, $signal) = $pool->stop($i);

Closes the slot's three descriptors, sends the worker C<SIGINT>, waits for
it (once, without a time limit), clears the slot and returns the exit code
and the terminating signal, both read from the wait status as they stand:

    how the worker ended                             exit code  signal
    its subroutine returned or died                  1          0
    its Perl code called exit(c)                     c          0
    SIGINT ended it (the usual case)                 0          2
    signal s ended it                                0          s
    the wait failed                                  255        127

A free slot gives the empty list.  In scalar context the result is the
signal (or undef for a free slot).

The wait fails when the program reaps children itself
(C<$SIG{CHLD} = 'IGNORE'>), or when a signal with a Perl handler
interrupts it.  In the second case the worker, already sent C<SIGINT>, may
not have been reaped: the slot is free all the same, so keep the pid
(from C<pid>) and C<waitpid> it yourself.

A worker that ignores or handles C<SIGINT> and goes on running keeps
C<stop> waiting until it ends by itself, without a time limit.  Signal
dispositions are inherited at the fork: a program that has set
C<$SIG{INT} = 'IGNORE'> (or runs with SIGINT ignored, as under C<nohup>
or in the background of some shells) launches workers that ignore it
too, and C<stop> then waits for ever.  Such a worker should begin with
C<$SIG{INT} = 'DEFAULT';>.

=head2 slots

    my @occupied = $pool->slots;    # slot indexes, ascending
    my $count    = $pool->slots;    # their number

A slot is occupied from its launch until its C<stop>, whether or not the
worker is still alive.

=head2 pid, wfd, rfd, efd, used

    my $pid = $pool->pid($i);
    my $wfd = $pool->wfd($i);    # write here: the worker's STDIN
    my $rfd = $pool->rfd($i);    # read here:  the worker's STDOUT
    my $efd = $pool->efd($i);    # the error pipe's read end (see below)
    my $n   = $pool->used($i);   # the use counter

One field of slot C<$i>; 0 for a free slot.

=head2 inc

    $pool->inc($i);

Raises slot C<$i>'s use counter by one (occupied or not).  The counter
goes back to 0 at each launch into the slot and at its stop.

=head2 rfds, wfds, efds

    my @r = $pool->rfds;

One descriptor per occupied slot, in slot order (the same order as
C<slots> in list context; a list index is not a slot index).

=head1 FUNCTIONS

These take no pool object and are called as plain package functions.

=head2 writefd

    my $n = Brindlecove::ProcessPool::writefd($fd, $string);

One C<write(2)> of the bytes of C<$string> (its stored form; undef writes
nothing, a number its decimal text).  Returns the count written, which may
be short on a non-blocking descriptor or a full pipe; or undef with C<$!>
set.  Never retries.

Writing to the C<wfd> of a worker that has ended raises C<SIGPIPE> in the
caller.  With the default disposition that kills the calling program;
with C<$SIG{PIPE} = 'IGNORE'> (or a handler) C<writefd> returns undef with
C<$!> set to C<EPIPE>, which is the way to notice a worker gone.

=head2 readfd

    my $n = Brindlecove::ProcessPool::readfd($fd, $buffer, $toread, $offset);

One C<read(2)> of at most C<$toread> bytes into C<$buffer> at byte
C<$offset> (default 0; a negative offset counts back from the end; an
offset past the end appends).  On success the buffer holds its old bytes
before the offset and the bytes read after it, nothing more, as a plain
byte string (any UTF-8 flag is cleared); the count is returned, 0 at end
of input.  On failure it returns undef with C<$!> set, and the buffer's
bytes are unchanged.  The buffer is grown once, before the read, to hold
the whole request, so reusing one buffer costs one allocation.

A buffer that holds no string (undef, a number, a reference) counts as
empty; the object a reference buffer held is released at the end of the
calling statement, after the buffer was stored (its C<DESTROY> sees, and
may change, the bytes read).  A read-only buffer croaks C<Modification of
a read-only value attempted>, a negative C<$toread> croaks C<Negative
length>, and a glob, array, hash, code or regexp buffer croaks C<readfd
target is ...>, all before reading anything.

A buffer with set-magic gets it after the read (a tied buffer's C<STORE>
receives the new value).  Some buffers refuse the value only there: C<$1>
and its kin croak C<Modification of a read-only value attempted>, and a
C<substr> lvalue past the end of its string croaks C<substr outside of
string>.  For these the C<read(2)> has already happened: the bytes are
taken from the descriptor and lost, and the croak comes afterwards.

Under taint mode (C<perl -T>) the buffer is tainted after every read that
did not fail, as C<sysread> taints, the old bytes before the offset
included.

=head2 Non-blocking descriptors

The module never changes a descriptor's mode.  To make a pool descriptor
non-blocking, set the flag through a duplicate: the flag belongs to the
open pipe, which the duplicate shares, and closing the duplicate leaves
the pool's descriptor alone.

    use Fcntl qw(F_GETFL F_SETFL O_NONBLOCK);
    open(my $dup, '<&', $pool->rfd($i)) or die "dup: $!";
    fcntl($dup, F_SETFL, fcntl($dup, F_GETFL, 0) | O_NONBLOCK) or die "fcntl: $!";
    close $dup;    # rfd($i) stays open, and non-blocking

Do not use a handle opened with C<< <&= >> on the number instead: it is
the pool's descriptor itself, and closing that handle, or letting it go
out of scope, closes the descriptor under the pool's feet (and after
C<stop> it would close whatever later reuses the number).

=head2 A select loop

C<rfds> and C<efds> give the descriptors only; keep a map from descriptor
to slot to know whose reply arrived.  This loop sends one request line to
every worker and collects one reply line from each, noticing workers that
end:

    use Errno qw(EINTR);
    my %slot_of = map { ($pool->rfd($_) => $_) } $pool->slots;
    my %partial = map { ($_ => '') } keys %slot_of;
    my %reply;
    local $SIG{PIPE} = 'IGNORE';     # a worker gone: EPIPE, not death
    for my $i ($pool->slots) {
        my $line = Brindlecove::ProcessPool::encode_kv(id => $i) . "\n";
        my $n = Brindlecove::ProcessPool::writefd($pool->wfd($i), $line);
        next if defined $n && $n == length $line;   # a line this short goes whole
        warn "slot $i: ", (defined $n ? 'short write' : $!), "\n";
        delete $partial{ $pool->rfd($i) };
    }
    while (%partial) {
        my $rin = '';
        vec($rin, $_, 1) = 1 for keys %partial;
        my $ready = select(my $rout = $rin, undef, undef, 10);
        next if $ready < 0 && $! == EINTR;
        die "select: $!" if $ready < 0;
        die "no reply within 10 seconds" if $ready == 0;
        for my $fd (keys %partial) {
            next unless vec($rout, $fd, 1);
            my $n = Brindlecove::ProcessPool::readfd($fd, $partial{$fd}, 65536,
                                                     length $partial{$fd});
            next if !defined $n && $! == EINTR;
            die "read from slot $slot_of{$fd}: $!" unless defined $n;
            if ($n == 0) {                   # end-of-file: the worker is gone
                warn "slot $slot_of{$fd} ended without a reply\n";
                delete $partial{$fd};
            } elsif ($partial{$fd} =~ s/\A([^\n]*)\n//) {
                $reply{ $slot_of{$fd} } = $1;
                delete $partial{$fd};
            }
        }
    }

A reply written in several pieces arrives in several reads, so each
descriptor keeps its own partial buffer (C<readfd>'s offset appends to
it).

=head2 encode_kv

    my $line = Brindlecove::ProcessPool::encode_kv(key => $value, ...);

Joins the pairs into one line: C<key=value> separated by single spaces,
without a line terminator.  A value is written as it stands unless it
starts with C<?> or holds a control byte, a space, C<=> or a byte at or
above 0x80; then it is written as C<?q?> followed by the value with each
space as C<_>, and C<_>, C<=>, control and high bytes as C<=XX> (two
upper-case hex digits).  So the line never holds a line break, whatever
the values hold.

    encode_kv(a => 1, b => "hello world")   # a=1 b=?q?hello_world
    encode_kv(k => "x=y")                   # k=?q?x=3Dy
    encode_kv(k => "a_b")                   # k=a_b

Keys are written unchanged and must hold no space and no C<=> to decode
to themselves.  Each value is read once (one fetch of a tied value, one
call of an overloaded stringification).  A key or plain value with the
UTF-8 flag makes the line a UTF-8 string, as Perl's string
concatenation would; encoded values are written as the bytes of their
stored form.  Under taint mode the line is tainted when any key or value
was.

=head2 decode_kv

    my @pairs = Brindlecove::ProcessPool::decode_kv($line);
    my %h     = Brindlecove::ProcessPool::decode_kv($line);

Splits a line back into key, value, key, value, ... in line order
(repeated keys each give their pair).  Every key and value is a byte
string without the UTF-8 flag.  The empty line gives the empty list.  A
token without C<=> (also the empty token of a leading, trailing or doubled
space) croaks C<invalid token I<line>: can't find '='>, naming the whole
line.  A malformed escape in an encoded value is no error: it stands for
itself.  A NUL byte in the line ends the search for the next space and
C<=>: the rest of the line is then the last token.  Under taint mode every
key and value of a tainted line is tainted.

=head1 THE WORKER

What a worker can rely on:

=over 4

=item *

It is a fork of the calling program as it was at the launch: variables,
loaded code, open files and descriptors, signal settings and handlers.

=item *

Descriptor 0 is the input pipe (the parent writes to C<wfd>); descriptor 1
is the output pipe (the parent reads C<rfd>).  Descriptor 2 is the
parent's own standard error: warnings from workers land there.

=item *

The error pipe's write end stays open in the worker under the number it
was created with; the module writes nothing to it and does not tell the
worker that number.  What it is for: a worker may write to it (an
out-of-band channel beside its standard output, if the program arranges
for the worker to know the number); and the parent's C<efd> reaches
end-of-file when the worker and every process that inherited the write
end (whatever the worker started) have ended, which makes it a clean
"worker gone" signal for a C<select> loop, unaffected by the worker
closing its STDOUT.

=item *

The Perl handles STDIN and STDOUT read descriptor 0 and write descriptor
1 from their first byte: the worker gives them fresh streams before the
subroutine runs, so nothing the parent had read ahead on its STDIN comes
back from C<< <STDIN> >>, and a parent whose STDIN was at end-of-file,
or whose STDIN and STDOUT were closed or in memory, makes no difference.
The layers the parent had pushed on them (C<:utf8>, C<:encoding(...)>,
C<:crlf>, C<:via(...)>) are pushed again; C<$|> is kept; C<$.> starts
again from 0.  A layer that cannot be pushed again is left off.

=item *

The worker also keeps the pipes' original descriptors beside their copies
on 0 and 1, so closing STDOUT alone does not give the parent end-of-file.

=item *

The subroutine is called once, without arguments, in void context; its
return value is discarded and an exception it raises is trapped.  When it
returns or dies the worker warns C<child: sub returned, exiting!> (with
C<: > and the system error text when C<$!> is set at that moment), flushes
its output handles and exits with status 1, without running END blocks or
destructors.  Calling C<exit> in the subroutine ends it with that status
through Perl's usual exit.  Loop control (C<last>, C<next>, C<redo>) that
would leave the subroutine counts as dying, and a C<__WARN__> handler that
dies during the final warning still ends the worker with status 1: a
worker never returns into the code that called C<start_long>.

=item *

Inside the worker the pool object still shows the slot as it was before
the launch; the worker learns nothing of itself from the pool.

=back

=head2 Inherited descriptors

Every worker inherits the parent's descriptors at its fork, among them the
C<wfd> of every worker launched before it.  Closing a worker's input
therefore does not give it end-of-file while a later worker is alive;
C<stop> sends C<SIGINT> for that reason, and workers should leave
C<SIGINT> able to end them.

=head1 DIAGNOSTICS

=over 4

=item C<Usage: Brindlecove::ProcessPool::new(ign, max)>, and so on

A wrong number of arguments.  The aliased names name themselves:
C<Usage: pid(self, i)>, C<Usage: efds(self)>.  C<encode_kv> with an odd
number of arguments: C<Usage: encode_kv(key =E<gt> value, key =E<gt> value, ...)>.

=item C<self is not of type Brindlecove::ProcessPool>

A method was given something other than a pool object made by C<new>
(also a class name, or a reference blessed by hand).

=item C<self is a released Brindlecove::ProcessPool (or one made by another thread)>

The pool was given to C<_free> already, or it was copied into this thread
when the thread was created: a pool belongs to the thread that made it.

=item C<slot index %d is out of range for a pool of %d slots>

=item C<panic: memory wrap>

C<new> with a negative count or one above 134217727.

=item C<can't create pipe for Kelbrin's input: ...>, C<can't create pipe for Torsh's output: ...>, C<can't create pipe for Torsh errors: ...>, C<can't fork to run kelbrin/torsh: ...>

C<start_long> could not make a pipe or fork (typically C<Too many open
files> or C<Resource temporarily unavailable>).  Nothing of the launch is
left open and the slot is unchanged.  Kelbrin and Torsh are the two
programs the pool's workers were first written to drive (the input pipe
feeding one, the output and error pipes reading the other); the texts
keep their names, though the module runs nothing but the subroutine it
is given.

=item C<child: can't redirect stdin>, C<child: can't redirect stdout>, C<child: sub returned, exiting!>

Warnings from the worker side, on the shared standard error, before the
worker exits with status 1.

=item C<Brindlecove::ProcessPool object version 1.00 does not match ...>

The Perl and native halves of the module are of different versions.

=item C<Can't max the nofile limit>

A warning at load: the soft open-file limit could not be raised.

=item C<Negative length>, C<Modification of a read-only value attempted>, C<readfd target is ...>

C<readfd> refused its arguments (the target texts: C<readfd target is a
glob, not a scalar>, C<readfd target is a regexp, not a plain scalar>,
C<readfd target is ARRAY, not a scalar> and so on).

=item C<invalid token %s: can't find '='>

C<decode_kv> met a token without C<=>; the whole line is named.

=back

=head1 THREADS

The module keeps no global state and may be used from several threads,
each with its own pools.  A pool belongs to the thread that created it.

=head1 REQUIREMENTS

Perl 5.32 or later (built and tested on 5.32, 5.36 and 5.40, on 64-bit and
32-bit x86, and on a DEBUGGING perl), on Linux, with a C++17 compiler.

=head1 SEE ALSO

L<perlipc>, L<IPC::Open3>.

=cut
