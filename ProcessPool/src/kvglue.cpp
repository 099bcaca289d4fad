/*
 * kvglue.cpp - the key/value codec on Perl scalars.  The byte logic is in
 * kvcodec.cpp; this file only reads string forms, sizes buffers and
 * applies the host's rules for joining flagged and unflagged strings.
 */
#include "host.h"
#include "kvcodec.h"

#include <string.h>

namespace {

/* Room for extra more bytes at the end of dst's string. */
inline char *room(pTHX_ SV *dst, STRLEN extra)
{
    return SvGROW(dst, SvCUR(dst) + extra + 1) + SvCUR(dst);
}

/* Appends bytes as sv_catsv would append a scalar holding them: a
 * UTF-8 piece upgrades the result, and a byte piece joined to a UTF-8
 * result has its high bytes upgraded. */
inline void append(pTHX_ SV *dst, const char *p, STRLEN n, bool utf8)
{
    if (!utf8 && !SvUTF8(dst)) {
        char *d = room(aTHX_ dst, n);
        memcpy(d, p, n);
        SvCUR_set(dst, SvCUR(dst) + n);
    } else {
        sv_catpvn_flags(dst, p, n, (utf8 ? SV_CATUTF8 : SV_CATBYTES));
    }
}

/* Size of the message for the arguments as they stand: their current
 * lengths read from the scalars' fields, which runs no magic and no
 * overloading, a fixed guess for what is not a plain string (a number,
 * a reference, a magical or undefined scalar), the separator and "=" of
 * each pair, and an allowance for markers and escapes.  Only a guess:
 * reading the arguments may change them, and a value of many escaped
 * bytes needs more; the writes check their room and grow the buffer. */
inline STRLEN message_guess(SV **args, int32_t count)
{
    STRLEN sum = 0;
    for (int32_t i = 0; i < count; i++) {
        SV *sv = args[i];
        sum += SvPOK(sv) && !SvGMAGICAL(sv) ? SvCUR(sv) : 16;
    }
    return sum + sum / 8 + (STRLEN)count / 2 * (2 + KV_MARKER_LEN) + 1;
}

/* Can reading sv's string form run Perl code?  Get-magic (a tie, $1 and
 * the like), overloading, and the "uninitialized" warning of an undefined
 * scalar, whose __WARN__ handler is Perl code, all can. */
inline bool reading_runs_code(SV *sv)
{
    return SvGMAGICAL(sv) || SvROK(sv) || !SvOK(sv);
}

} // namespace

SV *kv_encode_sv(pTHX_ SV **args, int32_t count)
{
    SV *res = sv_2mortal(newSV(message_guess(args, count)));
    SvPOK_only(res);
    SvCUR_set(res, 0);
    const bool tainting = TAINTING_get;
    bool tainted = false;

    for (int32_t i = 0; i < count; i += 2) {
        /* Each key and value is read once (one get-magic, one overload
         * call): the bytes checked for the form are the bytes written.
         * The value is read first, then the key.  When reading the key can
         * run code, that code may free or move the value's buffer
         * (encode_kv($t, $t) on a tied $t does: the second FETCH replaces
         * the buffer of the first; so does a __WARN__ handler assigning to
         * the value when the key is undefined), so then the value's bytes
         * are kept in a copy first.  Nothing after the key's read runs
         * code until the pair is written. */
        STRLEN klen, vlen;
        SV *vsv = args[i + 1], *ksv = args[i];
        const char *val = SvPV_const(vsv, vlen);
        bool val_utf8 = SvUTF8(vsv);
        if (tainting)
            tainted |= TAINT_get || SvTAINTED(vsv);
        if (reading_runs_code(ksv))
            val = SvPVX_const(sv_2mortal(newSVpvn(val, vlen)));
        const char *key = SvPV_const(ksv, klen);
        bool key_utf8 = SvUTF8(ksv);
        if (tainting)
            tainted |= TAINT_get || SvTAINTED(ksv);

        if (i != 0)
            append(aTHX_ res, " ", 1, false);
        append(aTHX_ res, key, klen, key_utf8);
        append(aTHX_ res, "=", 1, false);

        const unsigned char *v = (const unsigned char *)val;
        if (kv_needs_encoding(v, vlen)) {
            /* the encoded form is ASCII: plain bytes under either flag */
            char *d = room(aTHX_ res, kv_encoded_max(vlen));
            char *e = kv_put_encoded(d, v, vlen);
            SvCUR_set(res, SvCUR(res) + (STRLEN)(e - d));
        } else {
            append(aTHX_ res, val, vlen, val_utf8);
        }
    }
    *SvEND(res) = '\0';
    /* as the core's string operations do: tainted input, tainted result */
    if (tainted)
        SvTAINTED_on(res);
    return res;
}

SV **kv_decode_push(pTHX_ SV **sp, SV *msg)
{
    STRLEN len;
    const char *orig = SvPV_const(msg, len);
    if (len == 0)
        return sp;
    /* From here on no Perl code runs: orig stays valid to the end.  Every
     * string made from a tainted message is tainted, as the core's string
     * operations would leave it. */
    const bool tainted = TAINTING_get && (TAINT_get || SvTAINTED(msg));

    struct kv_token tok;
    size_t start = 0;
    for (;;) {
        if (!kv_split_token(orig, len, start, &tok))
            croak("invalid token %.*s: can't find '='",
                  (int)kv_text_len(orig, len), orig);
        EXTEND(sp, 2);
        SV *key = newSVpvn_flags(orig + tok.key, tok.key_len, SVs_TEMP);
        *++sp = key;

        const char *field = orig + tok.val;
        SV *val;
        if (kv_field_is_encoded(field, tok.val_len)) {
            /* the field's length bounds the decoded value's */
            val = sv_2mortal(newSV(tok.val_len + 1));
            SvPOK_only(val);
            char *d = SvPVX(val);
            size_t n = kv_decode_value(field + KV_MARKER_LEN,
                                       tok.val_len - KV_MARKER_LEN, d);
            d[n] = '\0';
            SvCUR_set(val, n);
        } else {
            val = newSVpvn_flags(field, tok.val_len, SVs_TEMP);
        }
        *++sp = val;
        if (tainted) {
            SvTAINTED_on(key);
            SvTAINTED_on(val);
        }

        if (tok.last)
            break;
        start = tok.next;
    }
    return sp;
}
