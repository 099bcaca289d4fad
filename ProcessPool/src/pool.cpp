/*
 * pool.cpp - the pool record, its slot table and the per-slot queries.
 */
#include "host.h"

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
