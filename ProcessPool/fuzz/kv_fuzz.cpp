/*
 * kv_fuzz.cpp - libFuzzer target for the key/value codec's byte logic.
 *
 * Properties per input:
 *  1. Decoding the input as a message, the way kvglue.cpp walks it, never
 *     reads outside it: every token lies within the message, and each
 *     encoded value is decoded from and into heap blocks of exactly its
 *     field's length, so ASan reports a single byte of overrun (the block
 *     loads and stores of the vector path included).
 *  2. The split, the form decision, the encoder and the value decoder give
 *     exactly what reference models written from the format's rules give.
 *  3. The input taken as values survives encoding and decoding: alone,
 *     and cut in two pairs of one message, both through the form decision
 *     and forced into the encoded form.
 *
 * The codec is compiled with its default path (SSE2 where the target has
 * it) or, with -DKV_PORTABLE, the portable one: fuzz/run.sh builds either.
 * With -DKV_FUZZ_MAIN the target gets a main of its own (no libFuzzer) that
 * runs the given files and a fixed series of generated inputs, for the
 * test suite.
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

/* Reference encoded form (marker included), straight from the format's
 * rules. */
std::string encode_ref(const unsigned char *v, size_t n)
{
    std::string r = "?q?";
    for (size_t i = 0; i < n; i++) {
        unsigned char b = v[i];
        if (b < 0x20 || b == '=' || b == '_' || b >= 0x80) {
            char esc[4];
            snprintf(esc, sizeof esc, "=%02X", b);
            r += esc;
        } else {
            r += b == ' ' ? '_' : (char)b;
        }
    }
    return r;
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
        std::string got(buf, end - buf);
        CHECK(got == encode_ref(v, n));
        msg->append(got);
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

#ifdef KV_FUZZ_MAIN
/* Standalone driver: kv_fuzz_main [FILE...] runs each file, then inputs
 * from a fixed generator (lengths around the block sizes, bytes drawn from
 * the format's special ones more often than the rest). */
int main(int argc, char **argv)
{
    for (int a = 1; a < argc; a++) {
        FILE *f = fopen(argv[a], "rb");
        if (!f) {
            perror(argv[a]);
            return 2;
        }
        std::string in;
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0)
            in.append(buf, n);
        fclose(f);
        LLVMFuzzerTestOneInput((const uint8_t *)in.data(), in.size());
    }
    static const char special[] = "_= ?q=_3Da=e9=G=4";
    uint64_t x = 0x9E3779B97F4A7C15ull;
    auto next = [&x]() { x ^= x << 13; x ^= x >> 7; x ^= x << 17; return x; };
    const int rounds = 20000;
    for (int r = 0; r < rounds; r++) {
        size_t len = next() % (r % 10 == 0 ? 300 : 48);
        std::vector<uint8_t> in(len);
        unsigned mix = (unsigned)(next() % 4);
        for (size_t i = 0; i < len; i++) {
            uint64_t y = next();
            if (mix == 0 || y % 4 == 0)
                in[i] = (uint8_t)(y >> 8);
            else if (y % 4 == 1)
                in[i] = (uint8_t)special[(y >> 8) % (sizeof special - 1)];
            else
                in[i] = (uint8_t)('a' + (y >> 8) % 26);
        }
        LLVMFuzzerTestOneInput(in.data(), in.size());
    }
    printf("kv_fuzz %s: %d files, %d generated inputs, all checks passed\n",
           kv_path_name(), argc - 1, rounds);
    return 0;
}
#endif
