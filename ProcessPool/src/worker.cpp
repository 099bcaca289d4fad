/*
 * worker.cpp - launching a worker into a slot, and stopping it.
 *
 * A worker is a fork of the calling interpreter that runs one Perl
 * subroutine with its stdin and stdout on pipes the parent keeps.  The
 * launch must leave nothing behind when it fails (every descriptor it made
 * is closed before the report), and the worker must never return into the
 * caller's Perl code: whatever its subroutine or a warning handler does,
 * it ends inside this file, except by an explicit Perl exit.
 */
#include "host.h"

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

/* The reporter of failed system calls: msg, then ": " and the system's
 * text when errno is set.  do_croak: raise it in the parent; otherwise
 * (in the worker) warn and end the process with status 1. */
[[noreturn]] void fatal(pTHX_ const char *msg, int do_croak)
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
    if (do_croak)
        croak_sv(text);

    /* The warning goes through CORE::warn, trapped: a __WARN__ handler
     * that dies (or leaves a loop) must not carry the worker back into
     * the caller's code. */
    call_isolated(aTHX_ (SV *)get_cv("CORE::warn", GV_ADD), text);
    worker_exit(aTHX);
}

/* Closes n descriptors in order, keeping errno for the report. */
void close_all(const int32_t *fds, int n)
{
    int err = errno;
    for (int k = 0; k < n; k++)
        close(fds[k]);
    errno = err;
}

[[noreturn]] void worker_main(pTHX_ const poolslot_t *s, SV *func)
{
    close(s->vin[1]);
    close(s->vout[0]);
    close(s->err[0]);
    if (dup2(s->vin[0], 0) < 0)
        fatal(aTHX_ "child: can't redirect stdin", 0);
    if (dup2(s->vout[1], 1) < 0)
        fatal(aTHX_ "child: can't redirect stdout", 0);
    call_isolated(aTHX_ func, NULL);
    fatal(aTHX_ "child: sub returned, exiting!", 0);
}

/* Perl's own fork, less its result: flush every handle so that buffered
 * output is not copied into the child (and written twice), and block
 * signals across the fork so that one arriving in between is not left
 * pending in the child's copy of the interpreter as well. */
pid_t host_fork(pTHX)
{
    sigset_t all, old;
    PerlIO_flush((PerlIO *)NULL);
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

} // namespace

void worker_launch(pTHX_ poolslot_ptr slot, SV *func)
{
    poolslot_t s;
    memset(&s, 0, sizeof s);

    /* Each failure closes what the earlier steps made before reporting:
     * a failed launch leaves no descriptor open. */
    if (pipe(s.vin) < 0)
        fatal(aTHX_ "can't create pipe for Kelbrin's input", 1);
    if (pipe(s.vout) < 0) {
        close_all(s.vin, 2);
        fatal(aTHX_ "can't create pipe for Torsh's output", 1);
    }
    if (pipe(s.err) < 0) {
        close_all(s.vin, 2);
        close_all(s.vout, 2);
        fatal(aTHX_ "can't create pipe for Torsh errors", 1);
    }

    s.pid = host_fork(aTHX);
    if (s.pid < 0) {
        close_all(s.vin, 2);
        close_all(s.vout, 2);
        close_all(s.err, 2);
        fatal(aTHX_ "can't fork to run kelbrin/torsh", 1);
    }
    if (s.pid == 0)
        worker_main(aTHX_ &s, func);

    /* Parent: drop the worker's ends at once, so later workers never
     * inherit them; then publish the whole record in one step. */
    close(s.vin[0]);
    close(s.vout[1]);
    close(s.err[1]);
    *slot = s;
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
