/*
 * worker.cpp - launching a worker into a slot, and stopping it.
 *
 * A worker is a fork of the calling interpreter that runs one Perl
 * subroutine with its stdin and stdout on pipes the parent keeps.  The
 * launch must leave nothing behind when it fails (every descriptor it made
 * is closed before the report), and the worker must never return into the
 * caller's Perl code: whatever its subroutine, a warning handler or an I/O
 * layer does, it ends inside this file, except by an explicit Perl exit.
 */
#include "host.h"
#include "perliol.h"

#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

/* Runs cv with the given arguments in void context, trapping exceptions,
 * on a stack of its own.  The own stack hides the caller's contexts, so
 * loop control in the subroutine ("last", "next", "redo", labelled or
 * not) cannot find a loop of the caller around start_long and resume the
 * caller's code in the worker: it dies instead, and is trapped. */
void call_isolated(pTHX_ SV *cv, SV *arg)
{
    dSP;
    ENTER;
    SAVETMPS;
    PUSHSTACKi(PERLSI_UNKNOWN);
    SPAGAIN;
    PUSHMARK(SP);
    if (arg)
        XPUSHs(arg);
    PUTBACK;
    call_sv(cv, G_VOID | G_DISCARD | G_EVAL);
    POPSTACK;
    FREETMPS;
    LEAVE;
}

/* Ends the worker: its own buffered output (a reply printed without
 * autoflush) goes out first; nothing buffered is the parent's, since the
 * launch flushed every handle before the fork. */
[[noreturn]] void worker_exit(pTHX)
{
    PerlIO_flush((PerlIO *)NULL);
    exit(1);
}

/* The text of a failed system call's report: msg, then ": " and the
 * system's text when errno is set. */
SV *failure_text(pTHX_ const char *msg)
{
    int err = errno;
    SV *text = sv_2mortal(newSVpv(msg, 0));
    if (err != 0) {
        char buf[256];
        const char *etext = strerror_r(err, buf, sizeof buf);
        sv_catpvs(text, ": ");
        if (etext)
            sv_catpv(text, etext);
    }
    return text;
}

/* A failure in the parent: raised as an exception. */
[[noreturn]] void launch_failed(pTHX_ const char *msg)
{
    croak_sv(failure_text(aTHX_ msg));
}

/* A failure in the worker: a warning, then the end of the process with
 * status 1.  The warning goes through CORE::warn, trapped: a __WARN__
 * handler that dies (or leaves a loop) must not carry the worker back
 * into the caller's code. */
[[noreturn]] void worker_failed(pTHX_ const char *msg)
{
    SV *text = failure_text(aTHX_ msg);
    call_isolated(aTHX_ (SV *)get_cv("CORE::warn", GV_ADD), text);
    worker_exit(aTHX);
}

/* The layers to push on a fresh handle so that it reads or writes as old
 * did, as a layer string: every layer of old above its bottom layer (the
 * descriptor's, or an in-memory one) and above the ordinary buffering
 * layer that a fresh handle has anyway, then :utf8 when old's top layer
 * says characters.  Pushing an :encoding layer runs the Encode module's
 * Perl code, and a :via layer's methods run too. */
SV *layers_above_buffer(pTHX_ PerlIO *old)
{
    SV *layer_str = sv_2mortal(newSVpvs(""));
    AV *layers = (AV *)sv_2mortal((SV *)PerlIO_get_layers(aTHX_ old));
    /* name, argument, flags per layer, from the top down */
    SSize_t count = (av_len(layers) + 1) / 3;
    for (SSize_t k = count - 2; k >= 0; k--) {
        SV **name = av_fetch(layers, 3 * k, 0);
        SV **arg = av_fetch(layers, 3 * k + 1, 0);
        if (!name || !SvOK(*name))
            continue;
        if (k == count - 2 && strEQ(SvPV_nolen(*name), "perlio"))
            continue;
        sv_catpvf(layer_str, ":%" SVf, SVfARG(*name));
        STRLEN arglen = 0;
        if (arg && SvOK(*arg))
            (void)SvPV(*arg, arglen);
        if (arglen)
            sv_catpvf(layer_str, "(%" SVf ")", SVfARG(*arg));
    }
    SV **top_flags = count > 0 ? av_fetch(layers, 2, 0) : NULL;
    if (top_flags && (SvUV(*top_flags) & PERLIO_F_UTF8))
        sv_catpvs(layer_str, ":utf8");
    return layer_str;
}

/* Gives the Perl handle of gv a fresh stream on descriptor fd (0 or 1),
 * with the upper layers the old stream had: nothing the parent had read
 * ahead or buffered, no end-of-file, error or closed state, line count 0.
 * The old stream is left open and unreachable, not closed: it holds the
 * interpreter's standard slot (what PerlIO_stdout() and PerlIO_stdin()
 * return), and a freed slot would be the next stream opened, so the
 * worker's first open for reading would warn "Filehandle STDOUT reopened
 * ... only for input" and C code writing to PerlIO_stdout() would write
 * to that stream.  It is on the same descriptor or on one the worker
 * keeps anyway, and nothing is buffered in it since the flush before the
 * fork. */
void reopen_std_handle(pTHX_ GV *gv, int fd, bool output)
{
    const char *mode = output ? "w" : "r";
    IO *io = GvIOn(gv);
    PerlIO *old = output ? IoOFP(io) : IoIFP(io);
    PerlIO *fresh = PerlIO_fdopen(fd, mode);
    if (!fresh)
        return;
    /* Installed first: should reading old's layers die, the handle still
     * works, without them. */
    IoIFP(io) = fresh;
    IoOFP(io) = output ? fresh : NULL;
    IoTYPE(io) = output ? IoTYPE_WRONLY : IoTYPE_RDONLY;
    IoLINES(io) = 0;
    if (!old)
        return;
    SV *layers = layers_above_buffer(aTHX_ old);
    if (SvCUR(layers))
        PerlIO_apply_layers(aTHX_ fresh, mode, SvPV_nolen(layers));
}

/* The body of the anonymous subroutine that reopens the worker's STDIN
 * and STDOUT, run trapped by call_isolated: pushing a layer runs Perl
 * code (Encode's, a :via class's), and should it die the layer is left
 * off and the worker goes on, instead of unwinding into the caller's
 * code. */
void reopen_stdio_xs(pTHX_ CV *cv)
{
    PERL_UNUSED_ARG(cv);
    reopen_std_handle(aTHX_ PL_stdingv, 0, false);
    reopen_std_handle(aTHX_ gv_fetchpvs("STDOUT", GV_ADD | GV_NOTQUAL, SVt_PVIO), 1, true);
}

[[noreturn]] void worker_main(pTHX_ const poolslot_t *s, SV *func)
{
    close(s->vin[1]);
    close(s->vout[0]);
    close(s->err[0]);
    /* The order is safe when the parent had descriptor 0 or 1 closed, so
     * that the pipes took them: the input pipe was made first and took
     * the lowest free numbers, so vout[1] is never 0, and the copy onto 0
     * cannot clobber it; the copy onto 1 can clobber only vin[0] (when it
     * was 1), whose copy is on 0 by then.  The three closes above never
     * hit 0 or 1 unless it was a parent end itself. */
    if (dup2(s->vin[0], 0) < 0)
        worker_failed(aTHX_ "child: can't redirect stdin");
    if (dup2(s->vout[1], 1) < 0)
        worker_failed(aTHX_ "child: can't redirect stdout");

    /* The Perl handles STDIN and STDOUT still hold the parent's streams
     * (read-ahead, end-of-file or closed state): give them fresh ones on
     * 0 and 1 before the subroutine reads <STDIN>. */
    CV *reopen = newXS(NULL, reopen_stdio_xs, __FILE__);
    call_isolated(aTHX_ (SV *)reopen, NULL);
    SvREFCNT_dec(reopen);

    call_isolated(aTHX_ func, NULL);
    worker_failed(aTHX_ "child: sub returned, exiting!");
}

/* Perl's own fork, less its result and its flush (worker_flush_before_launch
 * did that): signals are blocked across the fork so that one arriving in
 * between is not left pending in the child's copy of the interpreter as
 * well. */
pid_t host_fork(pTHX)
{
    sigset_t all, old;
    sigfillset(&all);
    sigprocmask(SIG_SETMASK, &all, &old);
    pid_t pid = my_fork();
    int err = errno;
    if (pid == 0) {
        PL_sig_pending = 0;
        if (PL_psig_pend)
            for (int sig = 1; sig < SIG_SIZE; sig++)
                PL_psig_pend[sig] = 0;
    }
    sigprocmask(SIG_SETMASK, &old, NULL);
    errno = err;
    return pid;
}

/* Closes each descriptor that is open (not -1), in order, keeping errno
 * for the report. */
void close_made(const int32_t *fds, int n)
{
    int err = errno;
    for (int k = 0; k < n; k++)
        if (fds[k] >= 0)
            close(fds[k]);
    errno = err;
}

} // namespace

void worker_flush_before_launch(pTHX)
{
    PerlIO_flush((PerlIO *)NULL);
}

void worker_launch(pTHX_ poolslot_ptr slot, SV *func)
{
    /* Nothing from here to the fork runs Perl code, and every failure
     * leaves through the one exit below, which closes what was made. */
    poolslot_t s;
    memset(&s, 0, sizeof s);
    s.vin[0] = s.vin[1] = s.vout[0] = s.vout[1] = s.err[0] = s.err[1] = -1;
    const char *failure;

    if (pipe(s.vin) < 0) {
        failure = "can't create pipe for Kelbrin's input";
        goto failed;
    }
    if (pipe(s.vout) < 0) {
        failure = "can't create pipe for Torsh's output";
        goto failed;
    }
    if (pipe(s.err) < 0) {
        failure = "can't create pipe for Torsh errors";
        goto failed;
    }
    s.pid = host_fork(aTHX);
    if (s.pid < 0) {
        failure = "can't fork to run kelbrin/torsh";
        goto failed;
    }
    if (s.pid == 0)
        worker_main(aTHX_ &s, func);

    /* Parent: drop the worker's ends at once, so later workers never
     * inherit them; then publish the whole record in one step. */
    close(s.vin[0]);
    close(s.vout[1]);
    close(s.err[1]);
    *slot = s;
    return;

failed:
    /* vin, vout and err lie in the record in this order */
    close_made(s.vin, 2);
    close_made(s.vout, 2);
    close_made(s.err, 2);
    launch_failed(aTHX_ failure);
}

int worker_stop(poolslot_ptr slot)
{
    int status = -1;
    /* Close first: a worker blocked on its stdin may see end-of-file; the
     * signal ends it either way.  One wait, not retried: an interrupted
     * or failed wait reports status -1. */
    close(slot->vin[1]);
    close(slot->vout[0]);
    close(slot->err[0]);
    kill(slot->pid, SIGINT);
    if (waitpid(slot->pid, &status, 0) < 0)
        status = -1;
    memset(slot, 0, sizeof *slot);
    return status;
}
