#!/usr/bin/env perl
# bench/bench.pl - Brindlecove::ProcessPool against what a Perl programmer
# would otherwise write.  See the POD at the end; run from the distribution
# directory after make:
#
#     perl -Mblib bench/bench.pl [--quick]
use strict;
use warnings;

use Brindlecove::ProcessPool;
use Config;
use FindBin;
use lib "$FindBin::Bin/../t/lib";
use KVPurePerl;
use Errno qw(EINTR);
use File::Temp qw(tempdir);
use Getopt::Long;
use POSIX ();
use Time::HiRes qw(time clock_gettime CLOCK_PROCESS_CPUTIME_ID);

my %opt = (rounds => 11);
my @ARGS = @ARGV;
GetOptions('quick' => \$opt{quick}, 'rounds=i' => \$opt{rounds},
           'cpu=i' => \$opt{cpu}, 'no-pin' => \$opt{nopin}, 'only=s' => \$opt{only},
           'help' => \$opt{help})
    or die "usage: perl -Mblib bench/bench.pl [--quick] [--rounds N] [--cpu N] [--no-pin]"
         . " [--only pipe,codec,launch,requests]\n";
$opt{cpu} //= 0;
if ($opt{help}) { system('perldoc', $0); exit 0 }
$opt{rounds} = 5 if $opt{quick} && $opt{rounds} == 11;
my $R = $opt{rounds};
my $Q = $opt{quick} ? 0.3 : 2;    # scales the work per round

# Pin the whole benchmark (and every worker it forks) to one processor:
# the round-trip figures measure the software, not where the scheduler
# puts the two ends of a pipe.  The mapper part widens the mask again.
my $NCPU = do { my $n = `nproc --all 2>/dev/null`; $n =~ /^(\d+)/ ? $1 : 1 };
if (!$opt{nopin} && !$ENV{PP_BENCH_PINNED}) {
    $ENV{PP_BENCH_PINNED} = 1;
    if (system("taskset -c $opt{cpu} true >/dev/null 2>&1") == 0) {
        exec 'taskset', '-c', $opt{cpu}, $^X, (map { "-I$_" } grep { !ref } @INC), $0, @ARGS;
    }
    warn "bench: taskset not usable, running unpinned\n";
}

my $PP = 'Brindlecove::ProcessPool';
*writefd   = \&Brindlecove::ProcessPool::writefd;
*readfd    = \&Brindlecove::ProcessPool::readfd;
*encode_kv = \&Brindlecove::ProcessPool::encode_kv;
*decode_kv = \&Brindlecove::ProcessPool::decode_kv;

$| = 1;
$SIG{PIPE} = 'IGNORE';
my @report;    # [ name, ratio, target, ">=" ]

# Single-process measurements (pipe I/O, the codec) count this process's
# CPU time: time spent preempted by other programs on the pinned processor
# would otherwise land in one round of A or B at random.  Measurements that
# involve workers use the wall clock, since the work is spread over processes.
sub cpu () { clock_gettime(CLOCK_PROCESS_CPUTIME_ID) }

# CPU time of this process and the given workers, in seconds, from the
# scheduler's own nanosecond account (/proc/PID/schedstat): for round trips
# on one pinned processor, what other programs took of it stays out.
# Falls back to the wall clock where the file is missing.
sub cpu_with {
    my $ns = 0;
    for my $pid ('self', @_) {
        open my $fh, '<', "/proc/$pid/schedstat" or return time;
        my $line = <$fh>;
        $ns += (split ' ', $line)[0];
    }
    return $ns / 1e9;
}

sub median {
    my @s = sort { $a <=> $b } @_;
    return @s % 2 ? $s[$#s / 2] : ($s[@s / 2 - 1] + $s[@s / 2]) / 2;
}

# Runs the two measurements interleaved A B A B for $R rounds; each
# measurement returns (operations, seconds).  Returns the median rates.
sub compare {
    my ($a, $b) = @_;
    my (@ra, @rb);
    $a->(); $b->();    # warm up: buffers grown, code paths hot
    for (1 .. $R) {
        my ($na, $ta) = $a->();
        push @ra, $na / $ta;
        my ($nb, $tb) = $b->();
        push @rb, $nb / $tb;
    }
    return (median(@ra), median(@rb));
}

# One comparison's line; a comparison without a target is only shown.
sub line {
    my ($name, $ra, $rb, $unit, $target) = @_;
    my $ratio = $ra / $rb;
    push @report, [ $name, $ratio, $target, $ra ] if defined $target;
    printf "  %-52s %12.0f %12.0f %s/s  ratio %7.3f%s\n",
        $name, $ra, $rb, $unit, $ratio,
        !defined $target ? '' : sprintf('  (target >= %s)%s', $target, $ratio >= $target ? '' : '  MISSED');
}

# Runs any number of measurements interleaved, one of each per round, for
# $R rounds after a warm-up; each returns (operations, seconds).  Returns
# the median rates in the order given.
sub interleaved {
    my @m = @_;
    $_->() for @m;
    my @rates = map { [] } @m;
    for (1 .. $R) {
        for my $k (0 .. $#m) {
            my ($n, $t) = $m[$k]->();
            push @{ $rates[$k] }, $n / $t;
        }
    }
    return map { median(@$_) } @rates;
}

# The pure-Perl codec of the same message format (t/lib/KVPurePerl.pm,
# also the tests' model of the format).
*pp_encode = \&KVPurePerl::encode;
*pp_decode = \&KVPurePerl::decode;

# ---------------------------------------------------------------------
# 1. writefd/readfd against syswrite/sysread, and the raw C calls.

sub make_pipe {
    pipe(my $r, my $w) or die "pipe: $!";
    binmode $_ for $r, $w;
    # a 1 MiB pipe holds a whole batch of writes (F_SETPIPE_SZ, Linux)
    my $sz = fcntl($w, 1031, 1 << 20) ? 1 << 20 : 65536;
    return ($r, $w, $sz);
}

sub drain {
    my ($r, $bytes) = @_;
    my $buf;
    while ($bytes > 0) {
        my $n = sysread($r, $buf, $bytes);
        die "drain: $!" unless $n;
        $bytes -= $n;
    }
}

sub fill {
    my ($w, $bytes) = @_;
    my $chunk = 'r' x 65536;
    while ($bytes > 0) {
        my $n = syswrite($w, $chunk, $bytes < 65536 ? $bytes : 65536);
        die "fill: $!" unless $n;
        $bytes -= $n;
    }
}

my $CDIR = tempdir(CLEANUP => 1);
my $CPROG = "$CDIR/rawpipe";
sub build_raw_c {
    open my $fh, '>', "$CPROG.c" or die $!;
    print $fh <<'C';
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>
static double now(void) {
    struct timespec t; clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}
/* usage: rawpipe SIZE CALLS_PER_BATCH BATCHES; prints writes/s reads/s */
int main(int argc, char **argv) {
    size_t size = atol(argv[1]); int calls = atoi(argv[2]), batches = atoi(argv[3]);
    int p[2]; if (pipe(p)) return 1;
    fcntl(p[1], F_SETPIPE_SZ, 1 << 20);
    char *buf = malloc(size), *big = malloc(1 << 20);
    memset(buf, 'w', size);
    double tw = 0, tr = 0;
    for (int b = 0; b < batches; b++) {
        double t0 = now();
        for (int i = 0; i < calls; i++) if (write(p[1], buf, size) != (ssize_t)size) return 2;
        tw += now() - t0;
        for (size_t left = size * calls; left; ) { ssize_t n = read(p[0], big, left < (1<<20) ? left : (1<<20)); if (n <= 0) return 3; left -= n; }
        for (size_t left = size * calls; left; ) { size_t k = left < (1<<20) ? left : (1<<20); ssize_t n = write(p[1], big, k); if (n <= 0) return 4; left -= n; }
        t0 = now();
        for (int i = 0; i < calls; i++) if (read(p[0], buf, size) != (ssize_t)size) return 5;
        tr += now() - t0;
    }
    printf("%.1f %.1f\n", calls * (double)batches / tw, calls * (double)batches / tr);
    return 0;
}
C
    close $fh;
    my $cc = $Config{cc} || 'cc';
    return system("$cc -O2 -o $CPROG $CPROG.c >/dev/null 2>&1") == 0
        || system("cc -O2 -o $CPROG $CPROG.c >/dev/null 2>&1") == 0;
}

sub bench_pipe_io {
    print "1. pipe I/O: writefd vs syswrite, readfd vs sysread (ops per CPU second)\n";
    my $have_c = build_raw_c();
    for my $size (16, 65536) {
        my ($r, $w, $psz) = make_pipe();
        my ($rfd, $wfd) = (fileno $r, fileno $w);
        my $calls = $size == 16 ? 2000 : int($psz / $size);
        my $batches = int(($size == 16 ? 20 : 40) * $Q) || 1;
        my $data = 'w' x $size;
        my $bytes = $size * $calls;
        my $wr = sub {
            my ($f) = @_;
            sub {
                my $t = 0;
                for (1 .. $batches) {
                    my $t0 = cpu;
                    $f->();
                    $t += cpu - $t0;
                    drain($r, $bytes);
                }
                return ($calls * $batches, $t);
            };
        };
        my ($mw, $pw) = compare(
            $wr->(sub { writefd($wfd, $data) == $size or die "short writefd" for 1 .. $calls }),
            $wr->(sub { syswrite($w, $data) == $size or die "short syswrite" for 1 .. $calls }));
        line("writefd/syswrite, $size B", $mw, $pw, 'ops', $size == 16 ? '0.95' : '0.98');
        my $buf = '';
        my $rd = sub {
            my ($f) = @_;
            sub {
                my $t = 0;
                for (1 .. $batches) {
                    fill($w, $bytes);
                    my $t0 = cpu;
                    $f->();
                    $t += cpu - $t0;
                }
                return ($calls * $batches, $t);
            };
        };
        my ($mr, $pr) = compare(
            $rd->(sub { readfd($rfd, $buf, $size) == $size or die "short readfd" for 1 .. $calls }),
            $rd->(sub { sysread($r, $buf, $size) == $size or die "short sysread" for 1 .. $calls }));
        line("readfd/sysread, $size B", $mr, $pr, 'ops', $size == 16 ? '0.95' : '0.98');

        next unless $size == 16;
        if (!$have_c) {
            print "  (no C compiler: raw C rate not measured)\n";
            next;
        }
        # the raw C program's own rounds, interleaved with the module's
        my (@cw, @cr, @xw, @xr);
        for (1 .. $R) {
            my ($n, $t) = $wr->(sub { writefd($wfd, $data) for 1 .. $calls })->();
            push @xw, $n / $t;
            ($n, $t) = $rd->(sub { readfd($rfd, $buf, $size) for 1 .. $calls })->();
            push @xr, $n / $t;
            my ($cw, $cr) = split ' ', `$CPROG $size $calls $batches`;
            push @cw, $cw;
            push @cr, $cr;
        }
        line("writefd/raw C write(2), 16 B", median(@xw), median(@cw), 'ops', '0.75');
        line("readfd/raw C read(2), 16 B", median(@xr), median(@cr), 'ops', '0.75');
    }
}

# ---------------------------------------------------------------------
# 2. The codec, against the pure-Perl codec and against its floors:
#    - strings only: an XSUB (built here) that makes the same strings
#      without any coding: for decode the same 400 strings copied out of
#      the message, for encode one new string of the message's length
#      joined from the same arguments;
#    - core: unpack making the same strings from the message, join of the
#      same arguments into one string;
#    - plain C: a C program doing the same coding on the same bytes, with a
#      malloc'ed string for each key and value (decode) or for the message
#      (encode), no Perl at all.

my $FLOOR_C = <<'C';
#define PERL_NO_GET_CONTEXT
#include "EXTERN.h"
#include "perl.h"
#include "XSUB.h"

/* strings(msg, spans): one new mortal per (offset, length) pair of the
 * packed native unsigned integers in spans, copied from msg */
XS(floor_strings)
{
    dXSARGS;
    STRLEN mlen, slen;
    const char *m, *sb;
    const UV *s;
    size_t n, k;
    if (items != 2) croak("usage: strings(msg, spans)");
    m = SvPV_const(ST(0), mlen);
    sb = SvPV_const(ST(1), slen);
    s = (const UV *)sb;
    n = slen / sizeof(UV) / 2;
    SP -= items;
    EXTEND(SP, (SSize_t)n);
    for (k = 0; k < n; k++)
        PUSHs(newSVpvn_flags(m + s[2 * k], s[2 * k + 1], SVs_TEMP));
    PUTBACK;
}

/* joined(key, value, ...): one new mortal "key=value key=value", no coding */
XS(floor_joined)
{
    dXSARGS;
    STRLEN total = 0, len;
    I32 i;
    SV *res;
    char *d;
    for (i = 0; i < items; i++) {
        SV *a = ST(i);
        total += (SvPOK(a) && !SvGMAGICAL(a) ? SvCUR(a) : 16) + 1;
    }
    res = sv_2mortal(newSV(total + 1));
    SvPOK_only(res);
    d = SvPVX(res);
    for (i = 0; i < items; i++) {
        const char *p = SvPV_const(ST(i), len);
        if (SvCUR(res) + len + 2 > SvLEN(res))
            d = SvGROW(res, SvCUR(res) + len + 2 + total);
        if (i)
            d[SvCUR(res)++] = i % 2 ? '=' : ' ';
        memcpy(d + SvCUR(res), p, len);
        SvCUR(res) += len;
    }
    d[SvCUR(res)] = '\0';
    ST(0) = res;
    XSRETURN(1);
}

XS_EXTERNAL(boot_BenchFloor)
{
    dXSARGS;
    PERL_UNUSED_VAR(items);
    newXS("BenchFloor::strings", floor_strings, __FILE__);
    newXS("BenchFloor::joined", floor_joined, __FILE__);
    XSRETURN_YES;
}
C

my $CODEC_C = <<'C';
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
static double now(void) {
    struct timespec t; clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}
static char *slurp(const char *path, size_t *len) {
    FILE *f = fopen(path, "rb"); if (!f) exit(2);
    fseek(f, 0, SEEK_END); *len = ftell(f); fseek(f, 0, SEEK_SET);
    char *b = (char *)malloc(*len + 1); if (fread(b, 1, *len, f) != *len) exit(2); fclose(f);
    b[*len] = 0; return b;
}
static inline int hexv(unsigned char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
         : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}
#ifdef WITH_KVCODEC
/* the module's own byte logic (src/kvcodec.*), the same strings, no Perl */
#include "kvcodec.h"
static size_t decode(const char *m, size_t len, char **out) {
    size_t n = 0, start = 0, nul = kv_text_len(m, len);
    struct kv_token t;
    for (;;) {
        if (!kv_split_token(m, len, nul, start, &t)) exit(3);
        char *k = (char *)malloc(t.key_len + 1); memcpy(k, m + t.key, t.key_len); k[t.key_len] = 0; out[n++] = k;
        char *v = (char *)malloc(t.val_len + 1);
        if (kv_field_is_encoded(m + t.val, t.val_len))
            v[kv_decode_value(m + t.val + KV_MARKER_LEN, t.val_len - KV_MARKER_LEN, v)] = 0;
        else { memcpy(v, m + t.val, t.val_len); v[t.val_len] = 0; }
        out[n++] = v;
        if (t.last) return n;
        start = t.next;
    }
}
static char *encode(char **a, size_t *al, size_t n, size_t *len) {
    size_t cap = 1;
    for (size_t i = 0; i < n; i++) cap += 3 * al[i] + 5;
    char *o = (char *)malloc(cap), *d = o;
    for (size_t i = 0; i < n; i += 2) {
        if (i) *d++ = ' ';
        memcpy(d, a[i], al[i]); d += al[i]; *d++ = '=';
        const unsigned char *v = (const unsigned char *)a[i + 1];
        if (kv_needs_encoding(v, al[i + 1])) d = kv_put_encoded(d, v, al[i + 1]);
        else { memcpy(d, v, al[i + 1]); d += al[i + 1]; }
    }
    *len = d - o;
    return o;
}
#else
/* one message: every key and value in a string of its own */
static size_t decode(const char *m, size_t len, char **out) {
    size_t n = 0, i = 0;
    while (i < len) {
        const char *sp = memchr(m + i, ' ', len - i);
        size_t end = sp ? (size_t)(sp - m) : len;
        const char *eq = memchr(m + i, '=', end - i);
        if (!eq) exit(3);
        size_t klen = eq - (m + i), f = eq - m + 1, flen = end - f;
        char *k = (char *)malloc(klen + 1); memcpy(k, m + i, klen); k[klen] = 0; out[n++] = k;
        char *v = (char *)malloc(flen + 1);
        if (flen >= 3 && m[f] == '?' && m[f + 1] == 'q' && m[f + 2] == '?') {
            size_t o = 0;
            for (size_t j = f + 3; j < end; j++) {
                unsigned char c = m[j];
                int hi, lo;
                if (c == '_') v[o++] = ' ';
                else if (c == '=' && end - j >= 3 && (hi = hexv(m[j + 1])) >= 0 && (lo = hexv(m[j + 2])) >= 0) {
                    v[o++] = (char)(hi * 16 + lo); j += 2;
                } else v[o++] = c;
            }
            v[o] = 0;
        } else { memcpy(v, m + f, flen); v[flen] = 0; }
        out[n++] = v;
        i = end + 1;
    }
    return n;
}
/* one message from the pairs, in one malloc'ed buffer of the worst size */
static char *encode(char **a, size_t *al, size_t n, size_t *len) {
    static const char hex[] = "0123456789ABCDEF";
    size_t cap = 1;
    for (size_t i = 0; i < n; i++) cap += 3 * al[i] + 5;
    char *o = (char *)malloc(cap), *d = o;
    for (size_t i = 0; i < n; i += 2) {
        if (i) *d++ = ' ';
        memcpy(d, a[i], al[i]); d += al[i]; *d++ = '=';
        const unsigned char *v = (const unsigned char *)a[i + 1]; size_t vl = al[i + 1];
        int enc = vl && v[0] == '?';
        for (size_t j = 0; j < vl && !enc; j++) enc = v[j] <= 0x20 || v[j] == '=' || v[j] >= 0x80;
        if (!enc) { memcpy(d, v, vl); d += vl; continue; }
        memcpy(d, "?q?", 3); d += 3;
        for (size_t j = 0; j < vl; j++) {
            unsigned char c = v[j];
            if (c < 0x20 || c == '=' || c == '_' || c >= 0x80) { *d++ = '='; *d++ = hex[c >> 4]; *d++ = hex[c & 15]; }
            else *d++ = c == ' ' ? '_' : c;
        }
    }
    *len = d - o;
    return o;
}
#endif
/* usage: codec dec MSGFILE ITER | codec enc PAIRSFILE ITER (pairs: one
 * argument a line, escaped as \n \\ \0); prints "ITER seconds" */
int main(int argc, char **argv) {
    size_t len, iter = atol(argv[3]);
    char *in = slurp(argv[2], &len);
    volatile size_t sink = 0;
    if (argv[1][0] == 'd') {
        char **out = (char **)malloc(sizeof(char *) * (len + 2));
        double t0 = now();
        for (size_t r = 0; r < iter; r++) {
            size_t n = decode(in, len, out);
            sink += n;
            for (size_t k = 0; k < n; k++) free(out[k]);
        }
        printf("%zu %.9f\n", iter, now() - t0);
    } else {
        size_t n = 0, cap = 16;
        char **a = (char **)malloc(sizeof(char *) * cap); size_t *al = (size_t *)malloc(sizeof(size_t) * cap);
        for (char *p = in; p < in + len; ) {
            char *nl = (char *)memchr(p, '\n', in + len - p);
            if (!nl) nl = in + len;
            char *s = (char *)malloc(nl - p + 1), *d = s;
            for (char *q = p; q < nl; q++) {
                if (*q == '\\' && q + 1 < nl) { q++; *d++ = *q == 'n' ? '\n' : *q == '0' ? 0 : *q; }
                else *d++ = *q;
            }
            if (n == cap) { cap *= 2; a = (char **)realloc(a, sizeof(char *) * cap); al = (size_t *)realloc(al, sizeof(size_t) * cap); }
            a[n] = s; al[n++] = d - s;
            p = nl + 1;
        }
        double t0 = now();
        for (size_t r = 0; r < iter; r++) {
            size_t ml;
            char *m = encode(a, al, n, &ml);
            sink += ml + (unsigned char)m[ml / 2];
            free(m);
        }
        printf("%zu %.9f\n", iter, now() - t0);
    }
    return 0;
}
C

# Builds and loads the strings-only XSUBs; false when that cannot be done.
sub build_floor_xs {
    my $c = "$CDIR/floor.c";
    open my $fh, '>', $c or return 0;
    print $fh $FLOOR_C;
    close $fh;
    my $core = "$Config{archlibexp}/CORE";
    my $so = "$CDIR/BenchFloor.$Config{dlext}";
    my $cc = "$Config{cc} $Config{ccflags} $Config{cccdlflags} -O2 -I$core";
    system("$cc -c -o $CDIR/floor.o $c >$CDIR/floor.log 2>&1") == 0
        && system("$Config{ld} $Config{lddlflags} -o $so $CDIR/floor.o >>$CDIR/floor.log 2>&1") == 0
        or return 0;
    require DynaLoader;
    my $lib = DynaLoader::dl_load_file($so, 0) or return 0;
    my $sym = DynaLoader::dl_find_symbol($lib, 'boot_BenchFloor') or return 0;
    my $boot = DynaLoader::dl_install_xsub('BenchFloor::bootstrap', $sym, $so);
    return eval { $boot->('BenchFloor'); 1 };
}

sub build_codec_c {
    open my $fh, '>', "$CDIR/codec.c" or return 0;
    print $fh $CODEC_C;
    close $fh;
    my $cc = $Config{cc} || 'cc';
    my $cxx = $ENV{PROCPOOL_CXX} || 'g++';
    my $src = "$FindBin::Bin/../src";
    my $plain = system("$cc -O2 -o $CDIR/codec $CDIR/codec.c >/dev/null 2>&1") == 0;
    my $own = system("$cxx -std=c++17 -O2 -DWITH_KVCODEC -I$src -o $CDIR/codec_kv -x c++ $CDIR/codec.c"
                     . " $src/kvcodec.cpp >/dev/null 2>&1") == 0;
    return ($plain, $own);
}

# The text-heavy message: 200 pairs, every other value about 500 bytes of
# words with spaces (a "_" every few bytes once encoded), with now and then
# a line feed, "=", "_", a high byte or a tab; the others long plain words.
sub text_pairs {
    my @words = qw(the of and to in is was for on that with as by at from his her
                   it an be this which or are had not but were all one their has
                   message worker pool value request reply process pipe line);
    my @odd = ("\n", '=', '_', "\xe9", "\t");
    my @p;
    my $seed = 1;
    my $rand = sub { $seed = ($seed * 1103515245 + 12345) % 2**31; $seed % $_[0] };
    for my $i (1 .. 200) {
        my $v = '';
        if ($i % 2) {
            while (length $v < 490) {
                $v .= ' ' if length $v;
                $v .= $words[ $rand->(scalar @words) ];
                $v .= $odd[ $rand->(scalar @odd) ] if $rand->(12) == 0;
            }
        } else {
            $v = join '', map { chr(97 + ($i * 7 + $_) % 26) } 1 .. 480;
        }
        push @p, "key$i", $v;
    }
    return @p;
}

sub bench_codec {
    print "2. codec: encode_kv/decode_kv vs the pure-Perl codec and the floors (messages per CPU second)\n";
    my $have_floor = build_floor_xs();
    my ($have_c, $have_kv) = build_codec_c();
    print "  (no compiler for the strings-only XSUBs: not measured)\n" unless $have_floor;
    print "  (no C compiler: plain C not measured)\n" unless $have_c;
    print "  (no C++ compiler: the byte logic alone not measured)\n" unless $have_kv;
    my @small = (id => 1234567, cmd => 'resize', path => '/srv/img/holiday photo.jpg',
                 user => 'alice', opts => 'w=640 h=480', tag => 'beach_2024',
                 note => "tab\there", q => '?');
    my @big;
    for my $i (1 .. 200) {
        my $v = join '', map { chr(97 + ($i * 7 + $_) % 26) } 1 .. 480;
        # one value in four holds spaces and a high byte: encoded form
        if ($i % 4 == 0) { substr($v, $_ * 40, 1) = ' ' for 1 .. 11; substr($v, 5, 1) = "\xe9" }
        push @big, "key$i", $v;
    }
    my @text = text_pairs();
    #  name, pairs, work per round, targets: encode vs pure Perl, vs join,
    #  vs C; decode vs pure Perl, vs strings only, vs unpack
    for my $c ([ '8-pair', \@small, 20000, 18, '1.0', undef, 10, undef, '1.15' ],
               [ '200-pair', \@big, 400, 35, undef, '0.9', 6, '0.85', '1.0' ],
               [ '200-pair text', \@text, 400, undef, undef, '0.9', undef, '0.85', '1.0' ]) {
        my ($name, $pairs, $n, $t_epp, $t_join, $t_ec, $t_dpp, $t_dstr, $t_unpack) = @$c;
        $n = int($n * $Q) || 1;
        my $msg = encode_kv(@$pairs);
        die "pure-Perl encoder disagrees on the $name message\n" if pp_encode(@$pairs) ne $msg;
        my @mine = decode_kv($msg);
        my @peer = pp_decode($msg);
        die "pure-Perl decoder disagrees on the $name message\n"
            if "@mine" ne "@peer" || "@mine" ne "@$pairs";
        my $label = sprintf '%s (%d B)', $name, length $msg;

        # the same strings without coding: the spans of the decoded
        # strings' sizes at the tokens' starts, and an unpack template
        my (@spans, $tmpl, $pos);
        ($tmpl, $pos) = (q(), 0);
        for my $tok (split / /, $msg) {
            my $eq = index $tok, '=';
            my ($klen, $vlen) = ($eq, length $mine[@spans / 2 + 1]);
            push @spans, $pos, $klen, $pos + $eq + 1, $vlen;
            $tmpl .= "a$klen x a$vlen x" . (length($tok) - $eq - $vlen) . ' ';
            $pos += length($tok) + 1;
        }
        $tmpl =~ s/ x\d+ \z//;
        my $spans = pack 'J*', @spans;
        my @u = unpack $tmpl, $msg;
        die "unpack template wrong for the $name message\n"
            unless @u == @mine && !grep { length $u[$_] != length $mine[$_] } 0 .. $#u;
        if ($have_floor) {
            my @s = BenchFloor::strings($msg, $spans);
            die "strings-only floor wrong for the $name message\n"
                unless @s == @mine && !grep { length $s[$_] != length $mine[$_] } 0 .. $#s;
        }

        my $timed = sub { my ($f) = @_; sub { my $t0 = cpu; $f->() for 1 .. $n; ($n, cpu - $t0) } };
        my $cprog = sub {
            my ($prog, $mode, $file) = @_;
            sub { my ($k, $t) = split ' ', `$CDIR/$prog $mode $file $n`; ($k, $t) };
        };
        open my $fh, '>', "$CDIR/msg" or die $!;
        print $fh $msg;
        close $fh;
        open $fh, '>', "$CDIR/pairs" or die $!;
        for my $a (@$pairs) { (my $e = "$a") =~ s/([\\\n\0])/$1 eq "\n" ? '\n' : $1 eq "\0" ? '\0' : '\\\\'/ge; print $fh "$e\n" }
        close $fh;

        # One comparison set: the module, pure Perl, the core op, then the
        # strings-only floor, plain C and the module's byte logic in C
        # where they could be built; interleaved, each line with its target.
        my $compare = sub {
            my ($verb, $core, $mine, $pp, $core_op, $floor, $cmode, $cfile, %t) = @_;
            my @runs = ($timed->($mine), $timed->($pp), $timed->($core_op));
            push @runs, $timed->($floor) if $have_floor;
            push @runs, $cprog->('codec', $cmode, $cfile) if $have_c;
            push @runs, $cprog->('codec_kv', $cmode, $cfile) if $have_kv;
            my ($m, $p, $o, @rest) = interleaved(@runs);
            my $f = $have_floor ? shift @rest : undef;
            my $c = $have_c ? shift @rest : undef;
            my $k = $have_kv ? shift @rest : undef;
            line("$verb $label / pure Perl", $m, $p, 'msg', $t{pp});
            line("$verb $label / strings only", $m, $f, 'msg', $t{floor}) if $have_floor;
            line("$verb $label / core $core", $m, $o, 'msg', $t{core});
            line("$verb $label / plain C", $m, $c, 'msg', $t{c}) if $have_c;
            line("$verb $label / its byte logic alone", $m, $k, 'msg', undef) if $have_kv;
        };
        my ($x, @l);
        $compare->('encode', 'join', sub { $x = encode_kv(@$pairs) }, sub { $x = pp_encode(@$pairs) },
                   sub { $x = join '=', @$pairs }, sub { $x = BenchFloor::joined(@$pairs) },
                   'enc', "$CDIR/pairs", pp => $t_epp, core => $t_join, c => $t_ec);
        $compare->('decode', 'unpack', sub { @l = decode_kv($msg) }, sub { @l = pp_decode($msg) },
                   sub { @l = unpack $tmpl, $msg }, sub { @l = BenchFloor::strings($msg, $spans) },
                   'dec', "$CDIR/msg", pp => $t_dpp, floor => $t_dstr, core => $t_unpack);
    }
}

# ---------------------------------------------------------------------
# 3. Launch and stop, each cycle counted until the worker's first byte.

sub pp_launch {
    pipe(my $in_r, my $in_w) or die "pipe: $!";
    pipe(my $out_r, my $out_w) or die "pipe: $!";
    pipe(my $err_r, my $err_w) or die "pipe: $!";
    my $pid = fork;
    die "fork: $!" unless defined $pid;
    if ($pid == 0) {
        close $_ for $in_w, $out_r, $err_r;
        POSIX::dup2(fileno $in_r, 0) or POSIX::_exit(1);
        POSIX::dup2(fileno $out_w, 1) or POSIX::_exit(1);
        $_[0]->();
        POSIX::_exit(1);
    }
    close $_ for $in_r, $out_w, $err_w;
    return { pid => $pid, in => $in_w, out => $out_r, err => $err_r };
}

sub pp_stop {
    my ($c) = @_;
    close $_ for @$c{qw(in out err)};
    kill 'INT', $c->{pid};
    waitpid($c->{pid}, 0);
    return ($? >> 8, $? & 127);
}

sub bench_launch {
    print "3. launch + stop (first byte from the worker, then stop while it waits on input)\n";
    my $n = int(60 * $Q) || 5;
    my $pool = $PP->new(1);
    my $buf = '';
    my $mod = sub {
        my $t0 = time;
        for (1 .. $n) {
            $pool->start_long(0, sub { writefd(1, 'x'); my $b; readfd(0, $b, 1); POSIX::_exit(0) });
            readfd($pool->rfd(0), $buf, 1) == 1 or die "no first byte";
            # the close of wfd (end of input) or SIGINT, whichever is first
            my ($code, $sig) = $pool->stop(0);
            die "worker ended $code/$sig" unless $code == 0 && ($sig == 2 || $sig == 0);
        }
        return ($n, time - $t0);
    };
    my $peer = sub {
        my $t0 = time;
        for (1 .. $n) {
            my $c = pp_launch(sub { syswrite(STDOUT, 'x'); sysread(STDIN, my $b, 1); POSIX::_exit(0) });
            sysread($c->{out}, $buf, 1) == 1 or die "no first byte";
            my ($code, $sig) = pp_stop($c);
            die "worker ended $code/$sig" unless $code == 0 && ($sig == 2 || $sig == 0);
        }
        return ($n, time - $t0);
    };
    line('launch+stop cycle', compare($mod, $peer), 'cycles', '1.15');
    $pool->_free;
}

# ---------------------------------------------------------------------
# 4. Requests through workers, and the mapper.

my @REQ = (id => 0, op => 'resize', path => '/srv/img/holiday photo.jpg', w => 640, h => 480);

# Echo servers: one reply line per request line, each with its own codec
# and primitives.
sub module_server {
    my $buf = '';
    for (;;) {
        my $got = readfd(0, $buf, 65536, length $buf);
        POSIX::_exit(0) unless $got;
        my ($pos, $out) = (0, '');
        while ((my $nl = index($buf, "\n", $pos)) >= 0) {
            my %r = decode_kv(substr($buf, $pos, $nl - $pos));
            $pos = $nl + 1;
            $out .= encode_kv(id => $r{id}, status => 'ok', path => $r{path}) . "\n";
        }
        substr($buf, 0, $pos, '');
        while (length $out) { my $w = writefd(1, $out); POSIX::_exit(1) unless $w; substr($out, 0, $w, '') }
    }
}

sub peer_server {
    open(my $in, '<&=', 0) or die;
    open(my $out, '>&=', 1) or die;
    my $buf = '';
    for (;;) {
        my $got = sysread($in, $buf, 65536, length $buf);
        POSIX::_exit(0) unless $got;
        my ($pos, $o) = (0, '');
        while ((my $nl = index($buf, "\n", $pos)) >= 0) {
            my %r = pp_decode(substr($buf, $pos, $nl - $pos));
            $pos = $nl + 1;
            $o .= pp_encode(id => $r{id}, status => 'ok', path => $r{path}) . "\n";
        }
        substr($buf, 0, $pos, '');
        while (length $o) { my $w = syswrite($out, $o); POSIX::_exit(1) unless $w; substr($o, 0, $w, '') }
    }
}

sub bench_requests {
    print "4. requests through workers (round trips per CPU second, parent and workers),\n",
          "   and the mapper (records per wall-clock second)\n";
    my $n = int(3000 * $Q) || 100;

    # one worker, one request at a time
    my $pool = $PP->new(4);
    $pool->start_long($_, \&module_server) for 0 .. 3;
    my @peers = map { pp_launch(\&peer_server) } 1 .. 4;
    my ($wfd, $rfd) = ($pool->wfd(0), $pool->rfd(0));
    my %req = @REQ;
    my @mpids = map { $pool->pid($_) } 0 .. 3;
    my @ppids = map { $_->{pid} } @peers;
    # The two loops are written out, not made from one generic loop: a
    # call through a code reference per step would add the same cost to
    # both sides and shrink the ratio between them.
    my $mod1 = sub {
        my $buf = '';
        my $t0 = cpu_with($mpids[0]);
        for my $i (1 .. $n) {
            $req{id} = $i;
            writefd($wfd, encode_kv(%req{qw(id op path w h)}) . "\n");
            $buf = '';
            readfd($rfd, $buf, 65536, length $buf) until substr($buf, -1) eq "\n";
            my %r = decode_kv(substr($buf, 0, -1));
            die "bad reply" unless $r{id} == $i;
        }
        return ($n, cpu_with($mpids[0]) - $t0);
    };
    my ($pin, $pout) = @{ $peers[0] }{qw(in out)};
    my $peer1 = sub {
        my $buf = '';
        my $t0 = cpu_with($ppids[0]);
        for my $i (1 .. $n) {
            $req{id} = $i;
            syswrite($pin, pp_encode(%req{qw(id op path w h)}) . "\n");
            $buf = '';
            sysread($pout, $buf, 65536, length $buf) until substr($buf, -1) eq "\n";
            my %r = pp_decode(substr($buf, 0, -1));
            die "bad reply" unless $r{id} == $i;
        }
        return ($n, cpu_with($ppids[0]) - $t0);
    };
    line('round trip, 1 worker', compare($mod1, $peer1), 'req', '3');

    # The floor: the same loop with no codec on either side (a fixed line
    # out, a fixed line back).  What the codec can still gain is the gap
    # between this and the module's round trip.
    my $floor = $PP->new(1);
    $floor->start_long(0, sub {
        my $b = '';
        for (;;) {
            readfd(0, $b, 65536) or POSIX::_exit(0);
            my $k = () = $b =~ /\n/g;
            writefd(1, "ok\n" x $k);
        }
    });
    my ($fw, $fr, $fpid) = ($floor->wfd(0), $floor->rfd(0), $floor->pid(0));
    my $line = encode_kv(%req{qw(id op path w h)}) . "\n";
    my @fl;
    for (0 .. $R) {
        my $buf = '';
        my $t0 = cpu_with($fpid);
        for (1 .. $n) {
            writefd($fw, $line);
            $buf = '';
            readfd($fr, $buf, 65536, length $buf) until substr($buf, -1) eq "\n";
        }
        push @fl, $n / (cpu_with($fpid) - $t0) if $_;
    }
    $floor->stop(0);
    $floor->_free;
    printf "  %-52s %12.0f req/s (module round trip: %.0f%% of it)\n",
        'round trip floor, no codec either side', median(@fl), 100 * $report[-1][3] / median(@fl);

    # four workers, one request in flight each, one select loop over rfds
    my $mod4 = sub {
        my @w = map { $pool->wfd($_) } 0 .. 3;
        my @r = $pool->rfds;
        my %slot = map { $r[$_] => $_ } 0 .. 3;
        my %buf = map { $_ => '' } @r;
        my ($sent, $got) = (0, 0);
        my $t0 = cpu_with(@mpids);
        for my $k (0 .. 3) { $req{id} = ++$sent; writefd($w[$k], encode_kv(%req{qw(id op path w h)}) . "\n") }
        my $rin = '';
        vec($rin, $_, 1) = 1 for @r;
        while ($got < $n) {
            my $nready = select(my $rout = $rin, undef, undef, undef);
            next if $nready < 0 && $! == EINTR;
            for my $fd (@r) {
                next unless vec($rout, $fd, 1);
                readfd($fd, $buf{$fd}, 65536, length $buf{$fd}) or die "worker gone";
                next unless substr($buf{$fd}, -1) eq "\n";
                my %rep = decode_kv(substr($buf{$fd}, 0, -1));
                $buf{$fd} = '';
                $got++;
                if ($sent < $n) {
                    $req{id} = ++$sent;
                    writefd($w[$slot{$fd}], encode_kv(%req{qw(id op path w h)}) . "\n");
                }
            }
        }
        while ($got < $sent) {
            select(my $rout = $rin, undef, undef, undef);
            for my $fd (@r) {
                next unless vec($rout, $fd, 1);
                readfd($fd, $buf{$fd}, 65536, length $buf{$fd});
                if (substr($buf{$fd}, -1) eq "\n") { $buf{$fd} = ''; $got++ }
            }
        }
        return ($got, cpu_with(@mpids) - $t0);
    };
    my $peer4 = sub {
        my @r = map { $_->{out} } @peers;
        my %in = map { fileno($peers[$_]{out}) => $peers[$_]{in} } 0 .. 3;
        my %buf = map { fileno($_) => '' } @r;
        my ($sent, $got) = (0, 0);
        my $t0 = cpu_with(@ppids);
        for my $p (@peers) { $req{id} = ++$sent; syswrite($p->{in}, pp_encode(%req{qw(id op path w h)}) . "\n") }
        my $rin = '';
        vec($rin, fileno $_, 1) = 1 for @r;
        while ($got < $n) {
            my $nready = select(my $rout = $rin, undef, undef, undef);
            next if $nready < 0 && $! == EINTR;
            for my $h (@r) {
                my $fd = fileno $h;
                next unless vec($rout, $fd, 1);
                sysread($h, $buf{$fd}, 65536, length $buf{$fd}) or die "worker gone";
                next unless substr($buf{$fd}, -1) eq "\n";
                my %rep = pp_decode(substr($buf{$fd}, 0, -1));
                $buf{$fd} = '';
                $got++;
                if ($sent < $n) {
                    $req{id} = ++$sent;
                    syswrite($in{$fd}, pp_encode(%req{qw(id op path w h)}) . "\n");
                }
            }
        }
        while ($got < $sent) {
            select(my $rout = $rin, undef, undef, undef);
            for my $h (@r) {
                my $fd = fileno $h;
                next unless vec($rout, $fd, 1);
                sysread($h, $buf{$fd}, 65536, length $buf{$fd});
                if (substr($buf{$fd}, -1) eq "\n") { $buf{$fd} = ''; $got++ }
            }
        }
        return ($got, cpu_with(@ppids) - $t0);
    };
    line('4 workers, one select loop', compare($mod4, $peer4), 'req', '2');
    $pool->stop($_) for 0 .. 3;
    $pool->_free;
    pp_stop($_) for @peers;

    bench_mapper();
}

sub bench_mapper {
    # Not pinned: the point is the use of more than one core.
    my $cpus = $NCPU > 1 ? "0-" . ($NCPU - 1) : '0';
    my $records = int(2000 * $Q) || 200;
    my $input = "$CDIR/records";
    open my $fh, '>', $input or die $!;
    print $fh "record $_ \t=\xff\n" for 1 .. $records;
    close $fh;
    my $pmap = -f 'examples/pmap' ? 'examples/pmap' : die "examples/pmap not found\n";
    my @inc = map { "-I$_" } grep { !ref } @INC;
    my $run = sub {
        my ($j) = @_;
        my @cmd = ('taskset', '-c', $cpus, $^X, @inc, $pmap, '-s', '--no-progress',
                   '-j', $j, '-t', 'spin:1000', $input);
        my $pid = open(my $p, '-|') // die "fork: $!";
        if (!$pid) {
            open STDERR, '>&', \*STDOUT or die;
            open STDOUT, '>', '/dev/null' or die;
            exec @cmd or POSIX::_exit(127);
        }
        my $err = do { local $/; <$p> };
        close $p;
        die "pmap -j $j failed: $err" if $?;
        $err =~ /(\d+) records, \d+ workers, ([\d.]+) seconds/ or die "no summary: $err";
        return ($1, $2);
    };
    my (%rate);
    $run->(1);
    for (1 .. ($opt{quick} ? 3 : 5)) {
        for my $j (1, 2, 4) {
            my ($n, $t) = $run->($j);
            push @{ $rate{$j} }, $n / $t;
        }
    }
    my %m = map { $_ => median(@{ $rate{$_} }) } 1, 2, 4;
    printf "  mapper, task spin:1000, %d records, CPUs %s: %.0f / %.0f / %.0f records/s on 1 / 2 / 4 workers\n",
        $records, $cpus, @m{1, 2, 4};
    line('mapper, 2 workers / 1 worker', $m{2}, $m{1}, 'rec', '1.7');
    printf "  %-52s %12.0f %12.0f rec/s  ratio %7.3f\n", 'mapper, 4 workers / 1 worker', $m{4}, $m{1}, $m{4} / $m{1};
}

# CPU time of the whole machine against this benchmark's own (with its
# workers): when other programs took a processor, the figures say so.
sub cpu_jiffies {
    open my $fh, '<', '/proc/stat' or return;
    my ($cpu) = grep { /^cpu\s/ } <$fh>;
    my @f = split ' ', $cpu;
    my $busy = 0;
    $busy += $f[$_] for 1, 2, 3, 6, 7, 8;    # user nice system irq softirq steal
    return $busy + $f[4] + $f[5], $busy;    # total, busy
}
my @stat0 = cpu_jiffies();
my $t0 = time;
printf "Brindlecove::ProcessPool %s, perl %s, %d CPUs, %s, %d rounds, medians\n",
    $Brindlecove::ProcessPool::VERSION, $^V, $NCPU,
    $ENV{PP_BENCH_PINNED} && !$opt{nopin} ? "pinned to CPU $opt{cpu}" : 'not pinned', $R;
printf "  %-52s %12s %12s\n", '', 'module', 'peer';
my %only = map { $_ => 1 } split /,/, $opt{only} // 'pipe,codec,launch,requests';
bench_pipe_io() if $only{pipe};
bench_codec() if $only{codec};
bench_launch() if $only{launch};
bench_requests() if $only{requests};

my @missed = grep { $_->[1] < $_->[2] } @report;
printf "\n%d of %d targets met in %.0f s%s\n", @report - @missed, scalar @report, time - $t0,
    @missed ? '; missed: ' . join(', ', map { sprintf '%s (%.3f < %s)', @$_[0 .. 2] } @missed) : '';
my @stat1 = cpu_jiffies();
if (@stat0 && @stat1 && $stat1[0] > $stat0[0]) {
    my $tick = POSIX::sysconf(POSIX::_SC_CLK_TCK()) || 100;
    my @t = times;
    my $mine = ($t[0] + $t[1] + $t[2] + $t[3]) * $tick;
    my $all = $stat1[0] - $stat0[0];
    my $busy = $stat1[1] - $stat0[1];
    printf "machine load during the run: %.0f%% of %d CPUs busy, %.0f%% by other programs%s\n",
        100 * $busy / $all, $NCPU, $busy > $mine ? 100 * ($busy - $mine) / $all : 0,
        ($busy - $mine) / $all > 0.2 ? ' (figures disturbed, the mapper ratio most)' : '';
}
exit 0;

__END__

=head1 NAME

bench.pl - Brindlecove::ProcessPool against pure-Perl equivalents

=head1 SYNOPSIS

From the distribution directory, after C<perl Makefile.PL && make>:

    perl -Mblib bench/bench.pl            # full run, under a minute
    perl -Mblib bench/bench.pl --quick    # a short run, a few seconds

C<--only> runs some of the parts: C<pipe>, C<codec>, C<launch>,
C<requests> (the last includes the mapper), comma-separated.

The script re-executes itself under C<taskset -c 0> (C<--cpu N> picks
another processor), so the benchmark and every worker it starts share one
processor; C<--no-pin> turns that off.  Only the mapper part runs on every
processor, since it measures the use of several cores: its 2-worker figure
means something only while no other program keeps a processor busy.

The ratios are of medians, so a short disturbance moves them little, but a
program that competes for the pinned processor the whole time (a fuzzer, a
build) makes every figure noisy; run it on an otherwise idle machine.

=head1 WHAT IT MEASURES

Every comparison runs the module's code (A) and the pure-Perl peer (B)
interleaved, A B A B, for C<--rounds> rounds (default 11, 5 with
C<--quick>), and prints the median rates and their ratio A/B with the
target beside it:

=over 4

=item 1.

C<writefd> vs C<syswrite> and C<readfd> vs C<sysread> on a pipe, with 16-byte
and 64 KiB payloads; and, at 16 bytes, the module against a small C program
(compiled on the fly) calling write(2) and read(2) in a loop, the physical
limit.

=item 2.

C<encode_kv>/C<decode_kv> on an 8-pair message with a few encoded values, a
200-pair message of about 100 KiB of long values (one in four encoded), and
a text-heavy 200-pair message (every other value about 500 bytes of words
with spaces, now and then a line feed, C<=>, C<_>, a high byte or a tab),
each against four things measured in the same interleaved rounds:

=over 4

=item *

the pure-Perl codec of the same format in F<t/lib/KVPurePerl.pm> (regular
expression substitutions with lookup tables; the tests use it as their model
of the format);

=item *

the strings-only floor: two XSUBs compiled on the fly that make the same
strings without any coding, for decoding the same keys and values copied
out of the message (one new mortal each), for encoding one new string
joined from the same arguments;

=item *

core Perl: C<unpack> with a template that makes the same strings from the
message, and C<join> of the same arguments into one string;

=item *

plain C: a small C program (compiled on the fly) that codes the same bytes
with byte loops, a malloc'ed string for each key and value when decoding and
for the message when encoding, no Perl at all.

=back

=item 3.

A launch and stop cycle: C<start_long>, read the worker's first byte, C<stop>
while the worker waits on its input; against three C<pipe>s, C<fork>,
C<POSIX::dup2>, the first byte, C<close>, C<kill>, C<waitpid>.

=item 4.

A request round trip through one worker (encode, write, the worker decodes
and answers one line, read, decode) against C<syswrite>/C<sysread> and the
pure-Perl codec; the same with four workers driven through one C<select>
loop; and examples/pmap on 1, 2 and 4 workers on a CPU-bound task.

=back

=cut
