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
    /* A regexp's string is the pattern's, owned by the compiled pattern:
     * bytes written there would print while the old pattern still
     * matches. */
    if (isREGEXP(target))
        croak("readfd target is a regexp, not a plain scalar");
    if (SvREADONLY(target))
        croak_no_modify();

    /* A reference target counts as empty.  Its referent is held by a
     * mortal until the end of the caller's statement, not released here:
     * its DESTROY is Perl code, free to rewrite the target, and must run
     * after the last write into the target's buffer and after set-magic
     * (also when set-magic dies).  A failed read puts it back. */
    SV *old_ref = NULL;
    if (SvROK(target)) {
        old_ref = sv_2mortal(SvREFCNT_inc_simple_NN(SvRV(target)));
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

    /* From here to set-magic no Perl code runs, so buf stays valid. */
    char *buf = SvGROW(target, (STRLEN)toread + off + 1);
    ssize_t got = read(fd, buf + off, (size_t)toread);
    if (got < 0) {
        if (old_ref) {
            int err = errno;
            sv_setsv(target, sv_2mortal(newRV_inc(old_ref)));
            errno = err;
        }
        return got;
    }
    SvCUR_set(target, off + (STRLEN)got);
    SvPOK_only(target);
    buf[off + (STRLEN)got] = '\0';
    SvSETMAGIC(target);
    /* Bytes from outside are tainted, as sysread's are; after set-magic,
     * which clears taint. */
    SvTAINTED_on(target);
    return got;
}
