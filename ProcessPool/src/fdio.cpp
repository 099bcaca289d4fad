/*
 * fdio.cpp - one write of a string to a descriptor, one read from a
 * descriptor into a string at an offset.  No loop, no retry: the count
 * (or the failure, with errno left for $!) goes straight back.
 */
#include "host.h"

#include <errno.h>
#include <unistd.h>

ssize_t fd_write(pTHX_ int fd, SV *str)
{
    STRLEN len;
    const char *ptr = SvPV_const(str, len);
    return write(fd, ptr, len);
}

ssize_t fd_read(pTHX_ int fd, SV *target, int32_t toread, int32_t offset)
{
    if (toread < 0)
        croak("Negative length");
    if (SvTYPE(target) >= SVt_PVAV && SvTYPE(target) != SVt_PVLV)
        croak("readfd target is %s, not a scalar", sv_reftype(target, 0));
    if (isGV_with_GP(target))
        croak("readfd target is a glob, not a scalar");
    if (SvREADONLY(target))
        croak_no_modify();

    /* A reference target counts as empty; its referent is released once
     * the read succeeded and put back when it failed. */
    SV *old_ref = NULL;
    if (SvROK(target)) {
        old_ref = SvREFCNT_inc_simple_NN(SvRV(target));
        sv_unref_flags(target, 0);
    }
    /* Copy-on-write: the buffer may be shared with other scalars
     * ("my $b = $a"); make it this target's own before writing into it. */
    if (SvIsCOW(target))
        sv_force_normal_flags(target, 0);
    if (SvTYPE(target) < SVt_PV)
        sv_upgrade(target, SVt_PV);

    /* A target that holds no string value (undef, a number never used as
     * a string) is empty, whatever its buffer held before. */
    STRLEN len = SvPOKp(target) ? SvCUR(target) : 0;
    STRLEN off;
    if (offset < 0) {
        STRLEN size = (STRLEN)(-(IV)offset);
        off = len - (size > len ? len : size);
    } else {
        off = (STRLEN)offset > len ? len : (STRLEN)offset;
    }

    char *buf = SvGROW(target, (STRLEN)toread + off + 1);
    ssize_t got = read(fd, buf + off, (size_t)toread);
    if (got < 0) {
        if (old_ref) {
            int err = errno;
            sv_setrv_noinc(target, old_ref);
            errno = err;
        }
        return got;
    }
    if (old_ref)
        SvREFCNT_dec_NN(old_ref);
    SvCUR_set(target, off + (STRLEN)got);
    SvPOK_only(target);
    buf[off + (STRLEN)got] = '\0';
    SvSETMAGIC(target);
    return got;
}
