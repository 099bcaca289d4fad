/*
 * ProcessPool.xs - the Perl entry points of Brindlecove::ProcessPool.
 *
 * Each entry point here is only its prologue (argument count, integer
 * conversion, the pool object) and its result convention; the work is in
 * src/.  The entry points are written as plain XS functions and registered
 * by BOOT from one table rather than declared as XSUBs: xsubpp's own boot
 * registers its XSUBs before any BOOT code runs, and the version check
 * must come first and, when it fails, leave nothing registered.  xsubpp
 * runs with -noversioncheck (its check compares version objects, so it
 * would accept "1.000"); the interpreter's binary-compatibility handshake
 * that its boot makes is kept.
 *
 * Prologue order everywhere: the count, the integer arguments in order,
 * then the pool object, then the slot index range.  Converting an
 * argument can run Perl code (a FETCH, overloading, a warning handler for
 * undef), and so can start_long's flush; the pool object is looked up
 * after all of it, read once, and nothing that can run Perl code comes
 * between the lookup and the use of the record.
 */
#include "src/host.h"

/* Usage errors, fixed texts; the aliased families name themselves by the
 * bare name they were called through. */
#define USAGE(args)        croak("Usage: " POOL_CLASS "::" args)
#define USAGE_ALIAS(args)  croak("Usage: %s" args, GvNAME(CvGV(cv)))

/* One integer result in the calling op's target (or a new mortal). */
#define RETURN_INT(v)  STMT_START { dXSTARG; XSprePUSH; PUSHi((IV)(v)); XSRETURN(1); } STMT_END

XS_EXTERNAL(XS_Brindlecove__ProcessPool_new)
{
    dXSARGS;
    if (items != 2)
        USAGE("new(ign, max)");
    int32_t max = arg_int32(aTHX_ ST(1));
    ST(0) = pool_object_new(aTHX_ pool_create(aTHX_ max));
    XSRETURN(1);
}

XS_EXTERNAL(XS_Brindlecove__ProcessPool__free)
{
    dXSARGS;
    if (items != 1)
        USAGE("_free(self)");
    pool_destroy(pool_object_take(aTHX_ ST(0)));
    XSRETURN_EMPTY;
}

XS_EXTERNAL(XS_Brindlecove__ProcessPool_slots)
{
    dXSARGS;
    if (items != 1)
        USAGE("slots(self)");
    procpool_ptr pool = pool_object_get(aTHX_ ST(0));
    U8 gimme = GIMME_V;
    IV count = 0;
    SP -= items;
    for (int32_t i = 0; i < pool->n; i++) {
        if (!slot_occupied(&pool->children[i]))
            continue;
        count++;
        if (gimme == G_LIST)
            mXPUSHi(i);
    }
    if (gimme == G_LIST)
        PUTBACK;
    else
        RETURN_INT(count);
}

XS_EXTERNAL(XS_Brindlecove__ProcessPool_stop)
{
    dXSARGS;
    if (items != 2)
        USAGE("stop(self, i)");
    int32_t i = arg_int32(aTHX_ ST(1));
    poolslot_ptr slot = pool_slot(aTHX_ pool_object_get(aTHX_ ST(0)), i);
    if (!slot_occupied(slot))
        XSRETURN_EMPTY;
    int status = worker_stop(slot);
    SP -= items;
    EXTEND(SP, 2);
    mPUSHi((status >> 8) & 0xff);  /* exit code, as WEXITSTATUS reads it */
    mPUSHi(status & 0x7f);         /* signal, as WTERMSIG reads it */
    PUTBACK;
}

XS_EXTERNAL(XS_Brindlecove__ProcessPool_start_long)
{
    dXSARGS;
    if (items != 3)
        USAGE("start_long(self, i, func)");
    int32_t i = arg_int32(aTHX_ ST(1));
    worker_flush_before_launch(aTHX);
    poolslot_ptr slot = pool_slot(aTHX_ pool_object_get(aTHX_ ST(0)), i);
    worker_launch(aTHX_ slot, ST(2));
    XSRETURN(1);  /* the pool object, unchanged */
}

XS_EXTERNAL(XS_Brindlecove__ProcessPool_inc)
{
    dXSARGS;
    if (items != 2)
        USAGE("inc(self, i)");
    int32_t i = arg_int32(aTHX_ ST(1));
    slot_inc(pool_slot(aTHX_ pool_object_get(aTHX_ ST(0)), i));
    XSRETURN_EMPTY;
}

/* used, pid, rfd, wfd, efd: ix is the slot_field */
XS_EXTERNAL(XS_Brindlecove__ProcessPool_used)
{
    dXSARGS;
    dXSI32;
    if (items != 2)
        USAGE_ALIAS("(self, i)");
    int32_t i = arg_int32(aTHX_ ST(1));
    poolslot_ptr slot = pool_slot(aTHX_ pool_object_get(aTHX_ ST(0)), i);
    RETURN_INT(slot_field_value(slot, (enum slot_field)ix));
}

/* rfds (0), wfds (1), efds (2) */
XS_EXTERNAL(XS_Brindlecove__ProcessPool_rfds)
{
    dXSARGS;
    dXSI32;
    if (items != 1)
        USAGE_ALIAS("(self)");
    procpool_ptr pool = pool_object_get(aTHX_ ST(0));
    static const enum slot_field fields[] = { SLOT_RFD, SLOT_WFD, SLOT_EFD };
    enum slot_field field = fields[ix];
    SP -= items;
    for (int32_t i = 0; i < pool->n; i++)
        if (slot_occupied(&pool->children[i]))
            mXPUSHi(slot_field_value(&pool->children[i], field));
    PUTBACK;
}

XS_EXTERNAL(XS_Brindlecove__ProcessPool_writefd)
{
    dXSARGS;
    if (items != 2)
        USAGE("writefd(fd, str)");
    int32_t fd = arg_int32(aTHX_ ST(0));
    ssize_t n = fd_write(aTHX_ fd, ST(1));
    if (n < 0)
        XSRETURN_UNDEF;
    RETURN_INT(n);
}

XS_EXTERNAL(XS_Brindlecove__ProcessPool_readfd)
{
    dXSARGS;
    if (items != 3 && items != 4)
        USAGE("readfd(fd, str, toread, offset=0)");
    int32_t fd = arg_int32(aTHX_ ST(0));
    int32_t toread = arg_int32(aTHX_ ST(2));
    int32_t offset = items == 4 ? arg_int32(aTHX_ ST(3)) : 0;
    ssize_t n = fd_read(aTHX_ fd, ST(1), toread, offset);
    if (n < 0)
        XSRETURN_UNDEF;
    RETURN_INT(n);
}

XS_EXTERNAL(XS_Brindlecove__ProcessPool_encode_kv)
{
    dXSARGS;
    if (items % 2 != 0)
        croak("Usage: encode_kv(key => value, key => value, ...)");
    SV *msg = kv_encode_sv(aTHX_ &ST(0), (int32_t)items);
    EXTEND(SP, 1);  /* with no arguments ST(0) lies past the stack's top */
    ST(0) = msg;
    XSRETURN(1);
}

XS_EXTERNAL(XS_Brindlecove__ProcessPool_decode_kv)
{
    dXSARGS;
    if (items != 1)
        USAGE("decode_kv(msg)");
    SV *msg = ST(0);
    SP -= items;
    SP = kv_decode_push(aTHX_ SP, msg);
    PUTBACK;
}

/* The registration table, in registration order; ix is stored only for
 * the two aliased families (aliased is 1). */
struct entry_point {
    const char *name;
    XSUBADDR_t  fn;
    bool        aliased;
    I32         ix;
};

static const struct entry_point entry_points[] = {
    { POOL_CLASS "::new",        XS_Brindlecove__ProcessPool_new,        false, 0 },
    { POOL_CLASS "::_free",      XS_Brindlecove__ProcessPool__free,      false, 0 },
    { POOL_CLASS "::slots",      XS_Brindlecove__ProcessPool_slots,      false, 0 },
    { POOL_CLASS "::stop",       XS_Brindlecove__ProcessPool_stop,       false, 0 },
    { POOL_CLASS "::start_long", XS_Brindlecove__ProcessPool_start_long, false, 0 },
    { POOL_CLASS "::inc",        XS_Brindlecove__ProcessPool_inc,        false, 0 },
    { POOL_CLASS "::wfd",        XS_Brindlecove__ProcessPool_used,       true,  SLOT_WFD },
    { POOL_CLASS "::used",       XS_Brindlecove__ProcessPool_used,       true,  SLOT_USED },
    { POOL_CLASS "::pid",        XS_Brindlecove__ProcessPool_used,       true,  SLOT_PID },
    { POOL_CLASS "::efd",        XS_Brindlecove__ProcessPool_used,       true,  SLOT_EFD },
    { POOL_CLASS "::rfd",        XS_Brindlecove__ProcessPool_used,       true,  SLOT_RFD },
    { POOL_CLASS "::rfds",       XS_Brindlecove__ProcessPool_rfds,       true,  0 },
    { POOL_CLASS "::efds",       XS_Brindlecove__ProcessPool_rfds,       true,  2 },
    { POOL_CLASS "::wfds",       XS_Brindlecove__ProcessPool_rfds,       true,  1 },
    { POOL_CLASS "::writefd",    XS_Brindlecove__ProcessPool_writefd,    false, 0 },
    { POOL_CLASS "::readfd",     XS_Brindlecove__ProcessPool_readfd,     false, 0 },
    { POOL_CLASS "::encode_kv",  XS_Brindlecove__ProcessPool_encode_kv,  false, 0 },
    { POOL_CLASS "::decode_kv",  XS_Brindlecove__ProcessPool_decode_kv,  false, 0 },
};

static void register_entry_points(pTHX)
{
    for (size_t k = 0; k < sizeof entry_points / sizeof entry_points[0]; k++) {
        const struct entry_point *e = &entry_points[k];
        /* the file recorded is the glue's own source name */
        CV *xcv = newXS(e->name, e->fn, "ProcessPool.c");
        if (e->aliased)
            CvXSUBANY(xcv).any_i32 = e->ix;
    }
}

MODULE = Brindlecove::ProcessPool    PACKAGE = Brindlecove::ProcessPool

PROTOTYPES: DISABLE

BOOT:
    boot_check_version(aTHX_ ST(0), items >= 2 ? ST(1) : NULL);
    register_entry_points(aTHX);
    boot_raise_nofile_limit();
