#include "roundtrip.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

#include "coder.h"
#include "lzw.h"

namespace lzw::testing {

namespace {

// Room for all a compression can write; for a decoder, what the header promises and more, so
// that a decoder writing past its promise shows.
size_t capacityFor(const char* mode, const Bytes& input) {
    if (mode[0] == 'c') return compressedBound(input.size());
    int64_t promised = 0;
    if (input.size() >= kHeaderSize) promised = int64_t{loadHeader(input.data())} + 1;
    return static_cast<size_t>(std::clamp<int64_t>(promised, 0, int64_t{1} << 28)) + 65536;
}

}  // namespace

Result run(const char* mode, const Bytes& input) {
    Direction direction;
    Policy policy;
    if (!findMode(mode, direction, policy)) return Result{1, {}, Fault::badArgument};
    size_t capacity = capacityFor(mode, input);
    // The Coder is large; tests keep it off the stack.
    auto coder = std::make_unique<Coder>();
    auto buffer = std::make_unique_for_overwrite<uint8_t[]>(capacity);
    size_t written = 0;
    Fault fault = coder->runMemory(direction, policy, input.data(), input.size(), buffer.get(),
                                   capacity, &written);
    return Result{fault == Fault::none ? 0 : 1, Bytes(buffer.get(), buffer.get() + written), fault};
}

Result runApi(const char* mode, const Bytes& input) {
    Direction direction;
    Policy policy;
    if (!findMode(mode, direction, policy)) return Result{1, {}, Fault::badArgument};
    size_t capacity = capacityFor(mode, input);
    auto buffer = std::make_unique_for_overwrite<uint8_t[]>(capacity);
    size_t written = 0;
    int error = (direction == Direction::compress ? lzw_compress : lzw_decompress)(
        static_cast<lzw_policy>(policy), input.data(), input.size(), buffer.get(), capacity,
        &written);
    return Result{error == LZW_OK ? 0 : 1, Bytes(buffer.get(), buffer.get() + written),
                  static_cast<Fault>(-error)};
}

Result runStream(const char* mode, const Bytes& input, size_t readSize) {
    Direction direction;
    Policy policy;
    if (!findMode(mode, direction, policy)) return Result{1, {}, Fault::badArgument};
    struct Source {
        const Bytes& bytes;
        size_t at, readSize;
    } source{input, 0, readSize};
    auto read = [](void* user, void* buf, size_t capacity) -> long long {
        auto& s = *static_cast<Source*>(user);
        size_t n = std::min({capacity, s.readSize, s.bytes.size() - s.at});
        std::copy_n(s.bytes.begin() + static_cast<ptrdiff_t>(s.at), n, static_cast<uint8_t*>(buf));
        s.at += n;
        return static_cast<long long>(n);
    };
    auto write = [](void* user, const void* buf, size_t size) {
        auto* p = static_cast<const uint8_t*>(buf);
        static_cast<Bytes*>(user)->insert(static_cast<Bytes*>(user)->end(), p, p + size);
        return 0;
    };
    Bytes out;
    std::unique_ptr<lzw_ctx, void (*)(lzw_ctx*)> ctx(lzw_ctx_create(), lzw_ctx_free);
    auto p = static_cast<lzw_policy>(policy);
    int error = direction == Direction::compress
                    ? lzw_compress_stream(ctx.get(), p, static_cast<long long>(input.size()), read,
                                          &source, write, &out)
                    : lzw_decompress_stream(ctx.get(), p, read, &source, write, &out);
    return Result{error == LZW_OK ? 0 : 1, out, static_cast<Fault>(-error)};
}

const std::vector<char>& allPolicies() {
    static const std::vector<char> digits = [] {
        std::vector<char> all;
        for (const PolicyRow& row : kPolicyRows) all.push_back(row.digit);
        return all;
    }();
    return digits;
}

Bytes encode(char policy, const Bytes& input) {
    const char mode[3] = {'c', policy, '\0'};
    Result r = run(mode, input);
    return r.status == 0 ? r.bytes : Bytes{};
}

Result decode(char policy, const Bytes& compressed) {
    const char mode[3] = {'d', policy, '\0'};
    return run(mode, compressed);
}

namespace {

// splitmix64: small, seeded, identical everywhere.
struct Rng {
    uint64_t state;
    uint64_t next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint32_t below(uint32_t n) { return static_cast<uint32_t>(next() % n); }
};

}  // namespace

Bytes randomBytes(uint64_t seed, size_t size, int alphabet) {
    Rng rng{seed};
    Bytes out(size);
    for (auto& b : out) b = static_cast<uint8_t>(rng.below(static_cast<uint32_t>(alphabet)));
    return out;
}

Bytes pseudoText(uint64_t seed, size_t size) {
    static const char* const kWords[] = {
        "the",     "of",       "and",     "to",      "in",         "a",          "is",
        "that",    "for",      "it",      "as",      "with",       "be",         "on",
        "not",     "this",     "by",      "are",     "or",         "from",       "at",
        "which",   "but",      "have",    "an",      "they",       "you",        "were",
        "licence", "software", "program", "source",  "copy",       "dictionary", "phrase",
        "code",    "compress", "file",    "without", "warranty",   "modify",     "distribute",
        "under",   "terms",    "version", "free",    "permission", "notice",     "public"};
    constexpr size_t kCount = sizeof(kWords) / sizeof(kWords[0]);
    Rng rng{seed};
    Bytes out;
    out.reserve(size + 16);
    size_t lineLength = 0;
    while (out.size() < size) {
        // Zipf-like: small indexes are far more frequent.
        uint32_t r = rng.below(1000);
        size_t index = (r * r / 1000) * kCount / 1000;
        const char* word = kWords[index];
        bool capital = lineLength == 0 || rng.below(12) == 0;
        for (const char* p = word; *p != '\0'; ++p) {
            char ch = (capital && p == word) ? static_cast<char>(*p - 'a' + 'A') : *p;
            out.push_back(static_cast<uint8_t>(ch));
        }
        lineLength += std::char_traits<char>::length(word) + 1;
        if (rng.below(9) == 0) out.push_back(rng.below(2) ? ',' : '.');
        if (lineLength > 66) {
            out.push_back('\n');
            lineLength = 0;
        } else {
            out.push_back(' ');
        }
    }
    out.resize(size);
    return out;
}

Bytes pseudoBinary(uint64_t seed, size_t size) {
    // Looks like an executable: instruction-like records, zero padding, tables, strings.
    Rng rng{seed};
    Bytes out;
    out.reserve(size + 64);
    while (out.size() < size) {
        switch (rng.below(4)) {
            case 0: {  // records with a few fixed opcodes and small operands
                for (int i = 0, n = 8 + static_cast<int>(rng.below(64)); i < n; ++i) {
                    static const uint8_t kOps[] = {0x48, 0x89, 0x8b, 0xe8, 0xc3, 0x0f, 0x83};
                    out.push_back(kOps[rng.below(7)]);
                    out.push_back(static_cast<uint8_t>(rng.below(16) * 8));
                    if (rng.below(3) == 0) out.push_back(static_cast<uint8_t>(rng.next()));
                }
                break;
            }
            case 1:  // zero padding
                out.insert(out.end(), 4 + rng.below(200), 0);
                break;
            case 2: {  // little-endian pointer table
                uint32_t base = static_cast<uint32_t>(rng.next()) & 0xfff000u;
                for (int i = 0, n = 4 + static_cast<int>(rng.below(32)); i < n; ++i) {
                    uint32_t v = base + static_cast<uint32_t>(i) * 16u + rng.below(16);
                    for (int k = 0; k < 4; ++k) out.push_back(static_cast<uint8_t>(v >> (8 * k)));
                }
                break;
            }
            default: {  // symbol names
                static const char* const kNames[] = {"malloc",      "free",   "memcpy", "__libc_",
                                                     "GLIBC_2.2.5", "printf", ".text",  ".data"};
                const char* s = kNames[rng.below(8)];
                while (*s != '\0') out.push_back(static_cast<uint8_t>(*s++));
                out.push_back(0);
            }
        }
    }
    out.resize(size);
    return out;
}

Bytes repeated(uint8_t value, size_t size) {
    return Bytes(size, value);
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::vector<NamedInput> standardInputs() {
    return {
        {"empty", {}},
        {"one_byte", {'x'}},
        {"abababab", {'a', 'b', 'a', 'b', 'a', 'b', 'a', 'b'}},
        {"text_300k", pseudoText(1, 300000)},
        {"binary_300k", pseudoBinary(2, 300000)},
        {"random_300k", randomBytes(3, 300000)},
        {"random_4letters_200k", randomBytes(4, 200000, 4)},
        {"zeros_1m", repeated(0, 1000000)},
        {"two_runs", concat({repeated('a', 300000), repeated('b', 300000)})},
        {"text_after_run", concat({repeated('x', 100000), pseudoText(5, 200000)})},
    };
}

Bytes packCodes(int32_t length, const std::vector<int32_t>& codes) {
    Bytes out(kHeaderSize);
    storeHeader(out.data(), length);
    for (size_t i = 0; i < codes.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(codes[i] >> 4));
        if (i + 1 == codes.size()) {
            out.push_back(static_cast<uint8_t>((codes[i] & 15) << 4));
        } else {
            out.push_back(static_cast<uint8_t>(((codes[i] & 15) << 4) | (codes[i + 1] >> 8)));
            out.push_back(static_cast<uint8_t>(codes[i + 1] & 255));
        }
    }
    return out;
}

std::vector<int32_t> unpackCodes(const Bytes& stream) {
    std::vector<int32_t> codes;
    for (size_t i = 4; i + 1 < stream.size(); i += 3) {
        codes.push_back((stream[i] << 4) | (stream[i + 1] >> 4));
        if (i + 2 < stream.size()) codes.push_back(((stream[i + 1] & 15) << 8) | stream[i + 2]);
    }
    return codes;
}

bool startsWith(const Bytes& whole, const Bytes& part) {
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

Bytes vectorFile(const std::string& name) {
    const auto tests = std::filesystem::path(LZW_SOURCE_DIR) / "tests";
    std::ifstream in(tests / "vectors" / name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// ---- SHA-256 (FIPS 180-4), for golden hashes of coder output ----

namespace {

constexpr uint32_t kK[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

uint32_t rotr(uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}

}  // namespace

std::string sha256Hex(const Bytes& data) {
    uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                     0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    Bytes msg = data;
    uint64_t bits = static_cast<uint64_t>(data.size()) * 8;
    msg.push_back(0x80);
    while (msg.size() % 64 != 56) msg.push_back(0);
    for (int i = 7; i >= 0; --i) msg.push_back(static_cast<uint8_t>(bits >> (8 * i)));
    for (size_t block = 0; block < msg.size(); block += 64) {
        uint32_t w[64];
        for (int i = 0; i < 16; ++i) {
            const uint8_t* p = &msg[block + 4 * static_cast<size_t>(i)];
            w[i] = (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
        }
        for (int i = 16; i < 64; ++i) {
            uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], k = h[7];
        for (int i = 0; i < 64; ++i) {
            uint32_t t1 =
                k + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + kK[i] + w[i];
            uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            k = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        const uint32_t add[8] = {a, b, c, d, e, f, g, k};
        for (int i = 0; i < 8; ++i) h[i] += add[i];
    }
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (uint32_t v : h) {
        for (int i = 28; i >= 0; i -= 4) out.push_back(kHex[(v >> i) & 15]);
    }
    return out;
}

}  // namespace lzw::testing
