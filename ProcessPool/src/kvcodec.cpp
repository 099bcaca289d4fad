/*
 * kvcodec.cpp - the key/value message format's byte logic (see kvcodec.h).
 */
#include "kvcodec.h"

#include <stdint.h>
#include <string.h>

namespace {

/* Byte classes, one table lookup per byte on the hot paths. */
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

constexpr byte_classes classes;

inline int hex_value(unsigned char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

/* The first position at or after i holding '_' or '=': eight bytes at a
 * time while none of them is either (decoding is dominated by this scan
 * on long values), then byte by byte. */
inline size_t skip_plain(const unsigned char *p, size_t i, size_t len)
{
    const uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    const uint64_t under = ones * '_', equals = ones * '=';
    while (len - i >= 8) {
        uint64_t w;
        memcpy(&w, p + i, 8);
        uint64_t a = w ^ under, b = w ^ equals;
        if (((a - ones) & ~a & highs) | ((b - ones) & ~b & highs))
            break;
        i += 8;
    }
    while (i < len && p[i] != '_' && p[i] != '=')
        i++;
    return i;
}

} // namespace

bool kv_needs_encoding(const unsigned char *val, size_t len)
{
    if (len > 0 && val[0] == '?')
        return true;
    for (size_t i = 0; i < len; i++)
        if (classes.c[val[i]] & FORCE)
            return true;
    return false;
}

char *kv_put_encoded(char *out, const unsigned char *val, size_t len)
{
    static const char hex[] = "0123456789ABCDEF";
    memcpy(out, KV_MARKER, KV_MARKER_LEN);
    out += KV_MARKER_LEN;
    for (size_t i = 0; i < len; i++) {
        unsigned char b = val[i];
        if (classes.c[b] & ESCAPE) {
            out[0] = '=';
            out[1] = hex[b >> 4];
            out[2] = hex[b & 15];
            out += 3;
        } else {
            *out++ = b == ' ' ? '_' : (char)b;
        }
    }
    return out;
}

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
    while (i < len) {
        /* bytes that stand for themselves go over as one run */
        size_t j = skip_plain(p, i, len);
        memcpy(out + o, p + i, j - i);
        o += j - i;
        i = j;
        if (i == len)
            break;
        if (p[i] == '_') {
            out[o++] = ' ';
            i++;
            continue;
        }
        /* '=': an escape needs both digits inside the value field; a
         * malformed one stands for itself */
        int hi = len - i >= 3 ? hex_value(p[i + 1]) : -1;
        int lo = hi >= 0 ? hex_value(p[i + 2]) : -1;
        if (lo >= 0) {
            out[o++] = (char)(hi * 16 + lo);
            i += 3;
        } else {
            out[o++] = '=';
            i++;
        }
    }
    return o;
}

size_t kv_text_len(const char *msg, size_t len)
{
    const void *nul = memchr(msg, '\0', len);
    return nul ? (size_t)((const char *)nul - msg) : len;
}
