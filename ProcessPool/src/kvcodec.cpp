/*
 * kvcodec.cpp - the key/value message format's byte logic (see kvcodec.h).
 */
#include "kvcodec.h"

#include <stdint.h>
#include <string.h>

namespace {

/* Value decoding: the byte each input byte stands for ('_' a space), and
 * which bytes are hex digits with their values (0xFF: not a digit). */
struct decode_tables {
    unsigned char out[256];
    unsigned char hex[256];
    constexpr decode_tables() : out(), hex()
    {
        for (int b = 0; b < 256; b++) {
            out[b] = b == '_' ? ' ' : (unsigned char)b;
            hex[b] = b >= '0' && b <= '9' ? b - '0'
                   : b >= 'a' && b <= 'f' ? b - 'a' + 10
                   : b >= 'A' && b <= 'F' ? b - 'A' + 10
                   : 0xFF;
        }
    }
};

constexpr decode_tables dec;

/* The '=' at p[i]: an escape needs both digits inside the value field; a
 * malformed one stands for itself.  Writes one byte at out; returns how
 * many input bytes it took. */
inline size_t decode_equals(const unsigned char *p, size_t i, size_t len, char *out)
{
    if (len - i >= 3) {
        unsigned hi = dec.hex[p[i + 1]], lo = dec.hex[p[i + 2]];
        if ((hi | lo) < 16) {   /* both are digits */
            *out = (char)(hi << 4 | lo);
            return 3;
        }
    }
    *out = '=';
    return 1;
}

#if !KV_SSE2
/* Eight bytes at a time without vector instructions.  zero_bytes gives
 * 0x80 in exactly the bytes of x that are zero (no borrow runs from one
 * byte into the next, unlike the shorter test for "any byte zero"). */
const uint64_t ones = 0x0101010101010101ull, low7 = 0x7F7F7F7F7F7F7F7Full;

inline uint64_t zero_bytes(uint64_t x)
{
    return ~(((x & low7) + low7) | x | low7);
}

/* Index of the first byte (in memory order) flagged in a zero_bytes mask. */
inline unsigned first_flagged(uint64_t m)
{
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return (unsigned)__builtin_clzll(m) / 8;
#else
    return (unsigned)__builtin_ctzll(m) / 8;
#endif
}
#endif

} // namespace

bool kv_split_token(const char *msg, size_t len, size_t start, struct kv_token *tok)
{
    const char *p = msg + start;
    size_t rest = len - start;

    /* The token ends at the next space.  A NUL byte before it ends the
     * search, and then, as with no space at all, the token runs to the
     * end of the message and is the last one. */
    const char *space = (const char *)memchr(p, ' ', rest);
    size_t scan = space ? (size_t)(space - p) : rest;
    const char *nul = (const char *)memchr(p, '\0', scan);
    size_t end;
    if (space && !nul) {
        end = (size_t)(space - msg);
        tok->last = false;
        tok->next = end + 1;
    } else {
        end = len;
        tok->last = true;
        tok->next = len;
    }

    /* The key ends at the token's first '='; a NUL byte hides any '='
     * behind it. */
    const char *eq = (const char *)memchr(p, '=', nul ? (size_t)(nul - p) : scan);
    if (!eq)
        return false;

    tok->key = start;
    tok->key_len = (size_t)(eq - p);
    tok->val = (size_t)(eq - msg) + 1;
    tok->val_len = end - tok->val;
    return true;
}

size_t kv_decode_value(const char *enc, size_t len, char *out)
{
    const unsigned char *p = (const unsigned char *)enc;
    size_t i = 0, o = 0;

    /* Whole blocks: every '_' in the block turned into a space, the block
     * stored, and as many of its bytes kept as come before its first '='
     * (the escape is then decoded on its own and the next block starts
     * after it).  Decoding never grows, so o <= i, and a block store at o
     * stays inside out whenever the load at i stays inside enc. */
#if KV_SSE2
    const __m128i under = _mm_set1_epi8('_'), equals = _mm_set1_epi8('=');
    const __m128i flip = _mm_set1_epi8('_' ^ ' ');
    while (len - i >= 16) {
        __m128i v = _mm_loadu_si128((const __m128i *)(p + i));
        v = _mm_xor_si128(v, _mm_and_si128(_mm_cmpeq_epi8(v, under), flip));
        _mm_storeu_si128((__m128i *)(out + o), v);
        unsigned m = (unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(v, equals));
        if (!m) {
            i += 16;
            o += 16;
            continue;
        }
        unsigned k = (unsigned)__builtin_ctz(m);
        i += k;
        o += k;
        i += decode_equals(p, i, len, out + o);
        o++;
    }
#else
    const uint64_t under = ones * '_', equals = ones * '=';
    while (len - i >= 8) {
        uint64_t w;
        memcpy(&w, p + i, 8);
        w ^= (zero_bytes(w ^ under) >> 7) * ('_' ^ ' ');
        memcpy(out + o, &w, 8);
        uint64_t m = zero_bytes(w ^ equals);
        if (!m) {
            i += 8;
            o += 8;
            continue;
        }
        unsigned k = first_flagged(m);
        i += k;
        o += k;
        i += decode_equals(p, i, len, out + o);
        o++;
    }
#endif
    while (i < len) {
        unsigned char b = p[i];
        if (b == '=') {
            i += decode_equals(p, i, len, out + o);
        } else {
            out[o] = (char)dec.out[b];
            i++;
        }
        o++;
    }
    return o;
}

size_t kv_text_len(const char *msg, size_t len)
{
    const void *nul = memchr(msg, '\0', len);
    return nul ? (size_t)((const char *)nul - msg) : len;
}
