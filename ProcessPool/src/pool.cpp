/*
 * pool.cpp - the pool record, its slot table, the per-slot queries, and
 * the pool object that carries the record's address to Perl.
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
 *
 * Recognising the object runs no Perl code, apart from one get-magic of
 * self when self is magical (a tied variable holding the object): that
 * value is copied once and the copy is what gets examined, so a FETCH
 * that answers differently each time cannot make one call act on two
 * pools.  The callers look the object up after everything else that can
 * run Perl code (argument conversion, flushing), so the record cannot be
 * freed between the lookup and its use.
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

/* The live record's magic of a pool object, and the scalar that carries
 * it in *objp; croaks for anything else.  Runs no Perl code but the one
 * get-magic of a magical self. */
MAGIC *pool_magic(pTHX_ SV *self, SV **objp)
{
    if (SvGMAGICAL(self))
        self = sv_mortalcopy(self);
    if (!sv_derived_from(self, POOL_CLASS) || !SvROK(self))
        croak_nocontext("self is not of type " POOL_CLASS);
    SV *obj = SvRV(self);
    MAGIC *mg = SvMAGICAL(obj) ? mg_findext(obj, PERL_MAGIC_ext, &pool_magic_vtbl) : NULL;
    if (!mg)
        croak_nocontext("self is not of type " POOL_CLASS);
    if (!mg->mg_ptr)
        croak_nocontext("self is a released " POOL_CLASS
                        " (or one made by another thread)");
    /* The integer as stored, without get-magic or numeric conversion
     * (either could run Perl code: a FETCH, a warning handler). */
    if (!SvIOKp(obj) || SvIVX(obj) != PTR2IV(mg->mg_ptr))
        croak_nocontext("self is not of type " POOL_CLASS);
    *objp = obj;
    return mg;
}

} // namespace

procpool_ptr pool_create(pTHX_ int32_t max)
{
    /* Guard before allocating anything, so a refused count leaks nothing;
     * negative counts are huge as unsigned numbers and trip it too. */
    if ((uint32_t)max > PROCPOOL_MAX_SLOTS)
        croak_nocontext("%s", PL_memory_wrap);

    /* calloc: the largest table is 4 GiB, and a separate zero fill would
     * touch every page of it. */
    procpool_ptr pool = (procpool_ptr)safesyscalloc(1, sizeof(procpool_t));
    pool->children = (poolslot_ptr)safesyscalloc(max > 0 ? (size_t)max : 1, sizeof(poolslot_t));
    pool->n = max;
    return pool;
}

void pool_destroy(procpool_ptr pool)
{
    safesysfree(pool->children);
    safesysfree(pool);
}

poolslot_ptr pool_slot(pTHX_ procpool_ptr pool, int32_t i)
{
    if (i < 0 || i >= pool->n)
        croak("slot index %d is out of range for a pool of %d slots", (int)i, (int)pool->n);
    return &pool->children[i];
}

int32_t slot_field_value(const poolslot_t *slot, enum slot_field field)
{
    switch (field) {
    case SLOT_USED: return slot->used;
    case SLOT_PID:  return slot->pid;
    case SLOT_RFD:  return slot->vout[0];
    case SLOT_WFD:  return slot->vin[1];
    case SLOT_EFD:  return slot->err[0];
    }
    return 0;
}

void slot_inc(poolslot_ptr slot)
{
    /* wraps like the 32-bit counter it is, without signed overflow */
    slot->used = (int32_t)((uint32_t)slot->used + 1u);
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
    SV *obj;
    return (procpool_ptr)pool_magic(aTHX_ self, &obj)->mg_ptr;
}

procpool_ptr pool_object_take(pTHX_ SV *self)
{
    SV *obj;
    MAGIC *mg = pool_magic(aTHX_ self, &obj);
    procpool_ptr pool = (procpool_ptr)mg->mg_ptr;
    /* The integer first: it is the step that can croak (a read-only
     * scalar), and then nothing has changed yet. */
    sv_setiv(obj, 0);
    mg->mg_ptr = NULL;
    return pool;
}
