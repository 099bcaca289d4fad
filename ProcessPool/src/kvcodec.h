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
 */
#ifndef KVCODEC_H
#define KVCODEC_H

#include <stddef.h>

#define KV_MARKER     "?q?"
#define KV_MARKER_LEN 3

/* Does this value need the encoded form?  Stops at the first byte that
 * decides it. */
bool kv_needs_encoding(const unsigned char *val, size_t len);

/* Upper bound of the encoded form of a value of len bytes, marker
 * included. */
static inline size_t kv_encoded_max(size_t len) { return KV_MARKER_LEN + 3 * len; }

/* Writes the marker and the encoded value at out (room for
 * kv_encoded_max(len) bytes); returns the end of what it wrote. */
char *kv_put_encoded(char *out, const unsigned char *val, size_t len);

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
static inline bool kv_field_is_encoded(const char *field, size_t len)
{
    return len >= KV_MARKER_LEN && field[0] == '?' && field[1] == 'q' && field[2] == '?';
}

/* Decodes the bytes after the marker, enc[0..len), into out (room for len
 * bytes: decoding never grows); returns the decoded length.  '_' gives a
 * space, "=XX" with two hex digits the byte XX, anything else itself. */
size_t kv_decode_value(const char *enc, size_t len, char *out);

/* Length of the message's text for error reports: up to its first NUL
 * byte, never past len. */
size_t kv_text_len(const char *msg, size_t len);

#endif /* KVCODEC_H */
