/*
 * convert.cpp - argument conversion and the pool object.
 *
 * A pool object is a reference to a scalar blessed into the pool class;
 * the scalar's integer value is the pool record's address.  The address
 * is also kept in an extension magic attached to that scalar, and the
 * magic is the authority: a scalar blessed by hand, or whose integer was
 * changed, carries no such magic (or a different address) and is refused
 * instead of being dereferenced.  _free clears both, so a released object
 * is recognised as such.  When an interpreter is cloned for a new thread
 * the clone's magic is cleared: the record belongs to the thread that
 * made it, and a second thread freeing it would free it twice.
 */
#include "host.h"

namespace {

int pool_magic_dup(pTHX_ MAGIC *mg, CLONE_PARAMS *param)
{
    PERL_UNUSED_CONTEXT;
    PERL_UNUSED_ARG(param);
    mg->mg_ptr = NULL;
    return 0;
}

/* No free hook: the module registers no destructor, callers _free. */
const MGVTBL pool_magic_vtbl = {
    NULL, NULL, NULL, NULL, NULL, NULL, pool_magic_dup, NULL
};

MAGIC *pool_magic(pTHX_ SV *self)
{
    if (!sv_derived_from(self, POOL_CLASS) || !SvROK(self))
        croak_nocontext("self is not of type " POOL_CLASS);
    SV *obj = SvRV(self);
    MAGIC *mg = SvMAGICAL(obj) ? mg_findext(obj, PERL_MAGIC_ext, &pool_magic_vtbl) : NULL;
    if (!mg)
        croak_nocontext("self is not of type " POOL_CLASS);
    return mg;
}

} // namespace

int32_t arg_int32(pTHX_ SV *sv)
{
    /* The host's integer conversion, narrowed to 32 bits as the slot
     * records and descriptor numbers are. */
    return (int32_t)(uint32_t)(UV)SvIV(sv);
}

SV *pool_object_new(pTHX_ procpool_ptr pool)
{
    SV *self = sv_newmortal();
    sv_setref_pv(self, POOL_CLASS, (void *)pool);
    MAGIC *mg = sv_magicext(SvRV(self), NULL, PERL_MAGIC_ext, &pool_magic_vtbl,
                            (const char *)pool, 0);
    mg->mg_flags |= MGf_DUP;
    return self;
}

procpool_ptr pool_object_get(pTHX_ SV *self)
{
    MAGIC *mg = pool_magic(aTHX_ self);
    SV *obj = SvRV(self);
    if (!mg->mg_ptr)
        croak_nocontext("self is a released " POOL_CLASS
                        " (or one made by another thread)");
    if (SvIV(obj) != PTR2IV(mg->mg_ptr))
        croak_nocontext("self is not of type " POOL_CLASS);
    return (procpool_ptr)mg->mg_ptr;
}

void pool_object_release(pTHX_ SV *self)
{
    MAGIC *mg = pool_magic(aTHX_ self);
    mg->mg_ptr = NULL;
    sv_setiv(SvRV(self), 0);
}
