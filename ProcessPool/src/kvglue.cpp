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

} // namespace

SV *kv_encode_sv(pTHX_ SV **args, int32_t count)
{
    SV *res = sv_2mortal(newSVpvs(""));
    SvGROW(res, (STRLEN)count * 5 + 1);

    for (int32_t i = 0; i < count; i += 2) {
        /* Each key and value is read once (one get-magic, one overload
         * call): the bytes checked for the form are the bytes written.
         * The value is read first, then the key.  Reading a key with
         * get-magic or overloading runs code that may free or move the
         * value's buffer (encode_kv($t, $t) on a tied $t does: the second
         * FETCH replaces the buffer of the first), so then the value's
         * bytes are kept in a copy before. */
        STRLEN klen, vlen;
        const char *val = SvPV_const(args[i + 1], vlen);
        bool val_utf8 = SvUTF8(args[i + 1]);
        if (SvGMAGICAL(args[i]) || SvROK(args[i]))
            val = SvPVX_const(sv_2mortal(newSVpvn(val, vlen)));
        const char *key = SvPV_const(args[i], klen);
        bool key_utf8 = SvUTF8(args[i]);

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
    return res;
}

SV **kv_decode_push(pTHX_ SV **sp, SV *msg)
{
    STRLEN len;
    const char *orig = SvPV_const(msg, len);
    if (len == 0)
        return sp;

    struct kv_token tok;
    size_t start = 0;
    for (;;) {
        if (!kv_split_token(orig, len, start, &tok))
            croak("invalid token %.*s: can't find '='",
                  (int)kv_text_len(orig, len), orig);
        EXTEND(sp, 2);
        *++sp = newSVpvn_flags(orig + tok.key, tok.key_len, SVs_TEMP);

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

        if (tok.last)
            break;
        start = tok.next;
    }
    return sp;
}
