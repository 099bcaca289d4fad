/*
 * procpool.h - the two records of a worker pool and the core operations
 * on them.  Everything declared here runs on the calling interpreter's
 * thread and may croak: no caller may hold a C++ object with a
 * destructor across any of these calls.
 */
#ifndef PROCPOOL_H
#define PROCPOOL_H

#include <stdint.h>
#include <sys/types.h>

/* One slot: a worker and the six pipe descriptors made for it.  Only
 * vin[1], vout[0] and err[0] stay open in the parent; the other three
 * keep the numbers of the worker's ends, closed in the parent at launch.
 * An all-zero record is a free slot; pid alone decides occupancy. */
typedef struct poolslot {
    pid_t   pid;
    int32_t vin[2];   /* worker's stdin:  [0] worker end, [1] parent's wfd */
    int32_t vout[2];  /* worker's stdout: [0] parent's rfd, [1] worker end */
    int32_t err[2];   /* error pipe:      [0] parent's efd, [1] worker end */
    int32_t used;     /* use counter, raised by inc */
} poolslot_t, *poolslot_ptr;

/* The one occupancy test: a slot holds a worker while its pid is set. */
static inline bool slot_occupied(const poolslot_t *slot)
{
    return slot->pid != 0;
}

typedef struct procpool {
    int32_t      n;         /* slot count, fixed at creation */
    poolslot_ptr children;  /* n slot records */
} procpool_t, *procpool_ptr;

/* The largest slot count whose table size fits an unsigned 32-bit size. */
#define PROCPOOL_MAX_SLOTS 134217727u

/* Field selectors of the per-slot query and the descriptor lists. */
enum slot_field { SLOT_USED, SLOT_PID, SLOT_RFD, SLOT_WFD, SLOT_EFD };

#ifdef PERL_VERSION  /* the Perl-facing half: only for sources that include perl.h */

/* pool.cpp: the record, its table and the queries */
procpool_ptr pool_create(pTHX_ int32_t max);
void         pool_destroy(procpool_ptr pool);
poolslot_ptr pool_slot(pTHX_ procpool_ptr pool, int32_t i);
int32_t      slot_field_value(const poolslot_t *slot, enum slot_field field);
void         slot_inc(poolslot_ptr slot);

/* pool.cpp: the pool object, a blessed reference carrying the record's
 * address.  Each call reads self once; call them after every step of an
 * entry point that can run Perl code. */
SV          *pool_object_new(pTHX_ procpool_ptr pool);
procpool_ptr pool_object_get(pTHX_ SV *self);
/* Marks the object released and hands back its record, for _free. */
procpool_ptr pool_object_take(pTHX_ SV *self);

/* worker.cpp: launch and stop */
/* Flushes every Perl handle, so that output buffered in the parent is not
 * copied into a worker; it can run Perl code (an I/O layer's FLUSH), so
 * the launch calls it before it looks up the pool or makes anything. */
void         worker_flush_before_launch(pTHX);
void         worker_launch(pTHX_ poolslot_ptr slot, SV *func);
/* Stops the worker in an occupied slot; returns the raw wait status,
 * or -1 when the wait failed.  The slot is cleared either way. */
int          worker_stop(poolslot_ptr slot);

/* fdio.cpp: one system call each */
ssize_t      fd_write(pTHX_ int fd, SV *str);
ssize_t      fd_read(pTHX_ int fd, SV *target, int32_t toread, int32_t offset);

/* kvglue.cpp: the codec on Perl scalars */
SV          *kv_encode_sv(pTHX_ SV **args, int32_t count);
/* Pushes the decoded list onto the Perl stack at sp; returns the new sp. */
SV         **kv_decode_push(pTHX_ SV **sp, SV *msg);

/* boot.cpp: load-time work */
void         boot_check_version(pTHX_ SV *module, SV *given);
void         boot_raise_nofile_limit(void);

/* convert.cpp: argument conversion, as a perl with 32-bit integers reads
 * an integer (may run Perl code: get-magic, overloading, a warning) */
int32_t      arg_int32(pTHX_ SV *sv);

#endif /* PERL_VERSION */
#endif /* PROCPOOL_H */
