/*
 * kvcodec.h - byte logic of the one-line key/value message format.
 *
 * Knows nothing of Perl: it works on byte ranges and writes into caller
 * buffers whose sizes the caller bounds with the *_max helpers, so the
 * same code serves the module and the fuzz target.
 *
 * Message: pairs "key=value" joined by single spaces.  A value is written
 * as it stands (plain form) unless it starts with '?' or holds a byte
 * 0x00-0x20, '=' or 0x80-0xFF; then it is written as the marker "?q?"
 * followed by the value with ' ' as '_' and '_', '=', controls and high
 * bytes as "=XX" (two upper-case hex digits).
 *
 * The encoder's helpers are inline here: encode_kv calls them once per
 * value, and a call across files cost more than the work on a short one.
 *
 * Vector paths: on targets with SSE2 (every x86-64) the scans and the
 * value decoder work on 16 bytes at a time.  Defining KV_PORTABLE selects
 * the portable code on such targets too, so both paths can be tested and
 * fuzzed on one machine; their output is the same byte for byte.
 */
#ifndef KVCODEC_H
#define KVCODEC_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#if defined(__SSE2__) && !defined(KV_PORTABLE)
#define KV_SSE2 1
#include <emmintrin.h>
#else
#define KV_SSE2 0
#endif

#define KV_MARKER     "?q?"
#define KV_MARKER_LEN 3

namespace kv_detail {

/* Byte classes, one table lookup per byte on the scalar paths. */
enum : unsigned char {
    FORCE  = 1,  /* forces the encoded form */
    ESCAPE = 2,  /* written as =XX inside the encoded form */
};

struct byte_classes {
    unsigned char c[256];
    constexpr byte_classes() : c()
    {
        for (int b = 0; b < 256; b++) {
            unsigned char v = 0;
            if (b <= 0x20 || b == '=' || b >= 0x80)
                v |= FORCE;
            if (b < 0x20 || b == '=' || b == '_' || b >= 0x80)
                v |= ESCAPE;
            c[b] = v;
        }
    }
};

inline constexpr byte_classes classes;
inline constexpr char hex_upper[] = "0123456789ABCDEF";

#if KV_SSE2
/* Bytes that force the encoded form: below 0x21 as signed bytes (which
 * takes in 0x80-0xFF, negative as signed), or '='. */
inline unsigned force_mask(__m128i v)
{
    __m128i low = _mm_cmplt_epi8(v, _mm_set1_epi8(0x21));
    __m128i eq = _mm_cmpeq_epi8(v, _mm_set1_epi8('='));
    return (unsigned)_mm_movemask_epi8(_mm_or_si128(low, eq));
}
#endif

/* Writes the encoded form of one byte; returns the end. */
inline char *put_byte(char *out, unsigned char b)
{
    if (classes.c[b] & ESCAPE) {
        out[0] = '=';
        out[1] = hex_upper[b >> 4];
        out[2] = hex_upper[b & 15];
        return out + 3;
    }
    *out = b == ' ' ? '_' : (char)b;
    return out + 1;
}

} // namespace kv_detail

/* Name of the compiled path, "sse2" or "portable", for tests and reports. */
inline const char *kv_path_name() { return KV_SSE2 ? "sse2" : "portable"; }

/* Does this value need the encoded form?  Stops at the first byte that
 * decides it. */
inline bool kv_needs_encoding(const unsigned char *val, size_t len)
{
    using namespace kv_detail;
    if (len > 0 && val[0] == '?')
        return true;
    size_t i = 0;
#if KV_SSE2
    for (; len - i >= 16; i += 16)
        if (force_mask(_mm_loadu_si128((const __m128i *)(val + i))))
            return true;
#endif
    for (; i < len; i++)
        if (classes.c[val[i]] & FORCE)
            return true;
    return false;
}

/* Upper bound of the encoded form of a value of len bytes, marker
 * included. */
inline size_t kv_encoded_max(size_t len) { return KV_MARKER_LEN + 3 * len; }

/* Writes the marker and the encoded value at out (room for
 * kv_encoded_max(len) bytes); returns the end of what it wrote. */
inline char *kv_put_encoded(char *out, const unsigned char *val, size_t len)
{
    using namespace kv_detail;
    memcpy(out, KV_MARKER, KV_MARKER_LEN);
    out += KV_MARKER_LEN;
    size_t i = 0;
#if KV_SSE2
    /* 16 bytes at a time: spaces become '_' in the register and all 16
     * are stored; when none needs an escape they are final.  Otherwise the
     * bytes before the first escape are, and the rest of the 16 go byte by
     * byte (escapes tend to come in runs: binary data, UTF-8 text).  The
     * store stays inside the bound: after i input bytes at most 3*i are
     * written, and 3*i + 16 <= 3*len while i + 16 <= len. */
    const __m128i space = _mm_set1_epi8(' '), sp_xor = _mm_set1_epi8(' ' ^ '_');
    const __m128i ctl = _mm_set1_epi8(0x20), eq = _mm_set1_epi8('='), under = _mm_set1_epi8('_');
    while (len - i >= 16) {
        __m128i v = _mm_loadu_si128((const __m128i *)(val + i));
        __m128i esc = _mm_or_si128(_mm_cmplt_epi8(v, ctl),
                                   _mm_or_si128(_mm_cmpeq_epi8(v, eq), _mm_cmpeq_epi8(v, under)));
        __m128i out_v = _mm_xor_si128(v, _mm_and_si128(_mm_cmpeq_epi8(v, space), sp_xor));
        _mm_storeu_si128((__m128i *)out, out_v);
        unsigned m = (unsigned)_mm_movemask_epi8(esc);
        if (!m) {
            out += 16;
            i += 16;
            continue;
        }
        unsigned k = (unsigned)__builtin_ctz(m);
        out += k;
        for (size_t end = i + 16, j = i + k; j < end; j++)
            out = put_byte(out, val[j]);
        i += 16;
    }
#endif
    for (; i < len; i++)
        out = put_byte(out, val[i]);
    return out;
}

/* One token of a message, as offsets into it. */
struct kv_token {
    size_t key, key_len;   /* the key: bytes before the token's first '=' */
    size_t val, val_len;   /* the value field: bytes after it, to the token's end */
    size_t next;           /* where the next token starts */
    bool   last;           /* no token follows */
};

/* Splits the token starting at offset start of msg[0..len).  A token ends
 * at the next space; a NUL byte (or the end of the message) before any
 * space makes the rest of the message the last token.  The key ends at
 * the token's first '=', searched only up to a NUL byte.  Returns false
 * when the token holds no '='. */
bool kv_split_token(const char *msg, size_t len, size_t start, struct kv_token *tok);

/* Is a value field in the encoded form (starts with the exact marker)? */
inline bool kv_field_is_encoded(const char *field, size_t len)
{
    return len >= KV_MARKER_LEN && field[0] == '?' && field[1] == 'q' && field[2] == '?';
}

/* Decodes the bytes after the marker, enc[0..len), into out (room for len
 * bytes: decoding never grows); returns the decoded length.  '_' gives a
 * space, "=XX" with two hex digits the byte XX, anything else itself.
 * out may not overlap enc. */
size_t kv_decode_value(const char *enc, size_t len, char *out);

/* Length of the message's text for error reports: up to its first NUL
 * byte, never past len. */
size_t kv_text_len(const char *msg, size_t len);

#endif /* KVCODEC_H */
