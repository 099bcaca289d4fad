/*
 * kvcodec.cpp - the key/value message format's byte logic (see kvcodec.h).
 */
#include "kvcodec.h"

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
    /* The token ends at the next space.  A NUL byte ends the search for
     * it, and then, as with no space at all, the token runs to the end of
     * the message and is the last one. */
    size_t end = start;
    while (end < len && msg[end] != ' ' && msg[end] != '\0')
        end++;
    if (end < len && msg[end] == ' ') {
        tok->last = false;
        tok->next = end + 1;
    } else {
        end = len;
        tok->last = true;
        tok->next = len;
    }

    /* The key ends at the token's first '='; a NUL byte hides any '='
     * behind it. */
    size_t eq = start;
    while (eq < end && msg[eq] != '=' && msg[eq] != '\0')
        eq++;
    if (eq >= end || msg[eq] != '=')
        return false;

    tok->key = start;
    tok->key_len = eq - start;
    tok->val = eq + 1;
    tok->val_len = end - (eq + 1);
    return true;
}

size_t kv_decode_value(const char *enc, size_t len, char *out)
{
    const unsigned char *p = (const unsigned char *)enc;
    size_t o = 0;
    for (size_t i = 0; i < len; i++) {
        unsigned char b = p[i];
        if (b == '_') {
            out[o++] = ' ';
        } else if (b == '=' && len - i >= 3) {
            /* an escape needs both digits inside the value field */
            int hi = hex_value(p[i + 1]), lo = hex_value(p[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out[o++] = (char)(hi * 16 + lo);
                i += 2;
            } else {
                out[o++] = '=';
            }
        } else {
            out[o++] = (char)b;
        }
    }
    return o;
}

size_t kv_text_len(const char *msg, size_t len)
{
    const void *nul = memchr(msg, '\0', len);
    return nul ? (size_t)((const char *)nul - msg) : len;
}
