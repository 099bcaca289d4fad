/*
 * kv_fuzz.cpp - libFuzzer target for the key/value codec's byte logic.
 *
 * Two properties per input:
 *  1. Decoding the input as a message, the way kvglue.cpp walks it, never
 *     reads outside it: every token lies within the message, and each
 *     encoded value is decoded from and into heap blocks of exactly its
 *     field's length, so ASan reports a single byte of overrun.
 *  2. The input taken as values survives encoding and decoding: alone,
 *     and cut in two pairs of one message, both through the form decision
 *     and forced into the encoded form.
 */
#include "kvcodec.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

#define CHECK(c) do { if (!(c)) { fprintf(stderr, "check failed: %s\n", #c); abort(); } } while (0)

/* Reference form decision, straight from the format's rules. */
bool needs_encoding_ref(const unsigned char *v, size_t n)
{
    if (n > 0 && v[0] == '?')
        return true;
    for (size_t i = 0; i < n; i++)
        if (v[i] <= 0x20 || v[i] == '=' || v[i] >= 0x80)
            return true;
    return false;
}

/* Reference value decoder, straight from the format's rules. */
std::string decode_ref(const unsigned char *e, size_t n)
{
    auto hex = [](unsigned char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    };
    auto val = [](unsigned char c) {
        return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
    };
    std::string r;
    for (size_t i = 0; i < n; i++) {
        if (e[i] == '_')
            r += ' ';
        else if (e[i] == '=' && i + 2 < n && hex(e[i + 1]) && hex(e[i + 2])) {
            r += (char)(val(e[i + 1]) * 16 + val(e[i + 2]));
            i += 2;
        } else
            r += (char)e[i];
    }
    return r;
}

/* Decodes one value field as the glue does; exact-size copies. */
std::string decode_field(const char *field, size_t len)
{
    char *in = new char[len];
    memcpy(in, field, len);
    std::string res;
    if (kv_field_is_encoded(in, len)) {
        size_t enc_len = len - KV_MARKER_LEN;
        char *out = new char[enc_len];
        size_t n = kv_decode_value(in + KV_MARKER_LEN, enc_len, out);
        CHECK(n <= enc_len);
        res.assign(out, n);
        CHECK(res == decode_ref((const unsigned char *)in + KV_MARKER_LEN, enc_len));
        delete[] out;
    } else {
        res.assign(in, len);
    }
    delete[] in;
    return res;
}

/* Splits a whole message as the glue does.  Returns false on an invalid
 * token; pairs get the decoded key/value list. */
bool decode_message(const char *msg, size_t len, std::vector<std::string> *pairs)
{
    pairs->clear();
    if (len == 0)
        return true;
    size_t start = 0;
    for (;;) {
        CHECK(start <= len);
        /* reference split: the token ends at a space met before any NUL,
         * else at the message's end; its key at the first '=' before any
         * NUL */
        size_t end = start;
        while (end < len && msg[end] != ' ' && msg[end] != '\0')
            end++;
        bool last = !(end < len && msg[end] == ' ');
        if (last)
            end = len;
        size_t eq = start;
        while (eq < end && msg[eq] != '=' && msg[eq] != '\0')
            eq++;
        bool has_eq = eq < end && msg[eq] == '=';

        struct kv_token tok;
        bool ok = kv_split_token(msg, len, start, &tok);
        CHECK(ok == has_eq);
        if (!ok) {
            size_t tl = kv_text_len(msg, len);
            CHECK(tl <= len);
            CHECK(memchr(msg, '\0', tl) == NULL);
            return false;
        }
        CHECK(tok.last == last && tok.key_len == eq - start && tok.val_len == end - eq - 1);
        CHECK(tok.key == start);
        CHECK(tok.key + tok.key_len < len);            /* the '=' is inside */
        CHECK(msg[tok.key + tok.key_len] == '=');
        CHECK(memchr(msg + tok.key, '=', tok.key_len) == NULL);
        CHECK(tok.val == tok.key + tok.key_len + 1);
        CHECK(tok.val + tok.val_len <= len);
        if (tok.last) {
            CHECK(tok.val + tok.val_len == len);
        } else {
            CHECK(tok.next == tok.val + tok.val_len + 1);
            CHECK(msg[tok.next - 1] == ' ');
            CHECK(tok.next > start);
        }
        pairs->push_back(std::string(msg + tok.key, tok.key_len));
        pairs->push_back(decode_field(msg + tok.val, tok.val_len));
        if (tok.last)
            return true;
        start = tok.next;
    }
}

/* Appends "key=" and the value in its form; forced skips the decision. */
void put_pair(std::string *msg, const char *key, const unsigned char *v, size_t n, bool forced)
{
    if (!msg->empty())
        *msg += ' ';
    *msg += key;
    *msg += '=';
    bool enc = kv_needs_encoding(v, n);
    CHECK(enc == needs_encoding_ref(v, n));
    if (enc || forced) {
        size_t max = kv_encoded_max(n);
        char *buf = new char[max];
        char *end = kv_put_encoded(buf, v, n);
        CHECK(end >= buf + KV_MARKER_LEN && (size_t)(end - buf) <= max);
        /* the encoded form holds only printable ASCII and no space */
        for (char *p = buf; p < end; p++)
            CHECK((unsigned char)*p > 0x20 && (unsigned char)*p < 0x80);
        msg->append(buf, end - buf);
        delete[] buf;
    } else {
        msg->append((const char *)v, n);
    }
}

void round_trip(const unsigned char *v, size_t n, size_t cut, bool forced)
{
    std::string msg;
    put_pair(&msg, "k", v, n, forced);
    std::vector<std::string> pairs;
    CHECK(decode_message(msg.data(), msg.size(), &pairs));
    CHECK(pairs.size() == 2 && pairs[0] == "k");
    CHECK(pairs[1] == std::string((const char *)v, n));

    msg.clear();
    put_pair(&msg, "a", v, cut, forced);
    put_pair(&msg, "b", v + cut, n - cut, forced);
    CHECK(decode_message(msg.data(), msg.size(), &pairs));
    CHECK(pairs.size() == 4 && pairs[0] == "a" && pairs[2] == "b");
    CHECK(pairs[1] == std::string((const char *)v, cut));
    CHECK(pairs[3] == std::string((const char *)v + cut, n - cut));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<std::string> pairs;
    decode_message((const char *)data, size, &pairs);

    size_t cut = size ? data[0] % (size + 1) : 0;
    round_trip(data, size, cut, false);
    round_trip(data, size, cut, true);
    return 0;
}
