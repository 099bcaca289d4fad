/*
 * convert.cpp - reading integer arguments.
 *
 * Every integer argument (a slot count, a slot index, a descriptor, a
 * byte count or offset) is read the way a perl whose integers are 32 bits
 * wide reads it, whatever this perl's integer width: the module's records
 * and the system's descriptors are 32-bit, and a value that such a perl
 * could not represent must not wrap into a small valid one (2**32 + 1
 * would otherwise name descriptor 1).  That perl converts
 *
 *   - a value from -2**31 to 2**32 - 1 to its low 32 bits (3000000000
 *     reads as -1294967296, as its unsigned integer seen as signed);
 *   - anything larger, +inf included, to -1 (its largest unsigned
 *     integer, seen as signed);
 *   - anything smaller, -inf included, to -2**31;
 *   - NaN to 0;
 *
 * and truncates a fraction toward zero.
 */
#include "host.h"

#include <math.h>

namespace {

const int64_t low_limit  = INT32_MIN;         /* -2**31 */
const int64_t high_limit = UINT32_MAX;        /* 2**32 - 1 */

int32_t narrow_signed(int64_t v)
{
    if (v < low_limit)
        return INT32_MIN;
    if (v > high_limit)
        return -1;
    return (int32_t)(uint32_t)v;
}

int32_t narrow_unsigned(uint64_t v)
{
    return v > (uint64_t)high_limit ? -1 : (int32_t)(uint32_t)v;
}

int32_t narrow_float(NV f)
{
    if (Perl_isnan(f))
        return 0;
    if (f < (NV)low_limit)
        return INT32_MIN;
    if (f >= (NV)high_limit + 1)
        return -1;
    /* in range: the cast truncates toward zero and is exact */
    return narrow_signed((int64_t)f);
}

} // namespace

int32_t arg_int32(pTHX_ SV *sv)
{
    /* Get-magic once (one FETCH of a tied value); every test below reads
     * the private flags, which are the ones magic leaves set. */
    SvGETMAGIC(sv);
    if (SvIOKp(sv) && !SvNOKp(sv))
        return SvIsUV(sv) ? narrow_unsigned(SvUVX(sv)) : narrow_signed(SvIVX(sv));
    /* A float, or a value that is no number yet (a string, undef, a
     * reference, an overloaded object): its floating-point value decides,
     * since this perl's 64-bit integer conversion would already have
     * wrapped values above 2**63.  Doubles are exact at both limits. */
    return narrow_float(SvNV_nomg(sv));
}
