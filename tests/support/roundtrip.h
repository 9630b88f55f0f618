// Round-trip helpers and a table of named inputs, shared by tests and benchmarks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "messages.h"

namespace lzw::testing {

using Bytes = std::vector<uint8_t>;

struct Result {
    int status = 0;  // exit status of the run: 0 or 1
    Bytes bytes;     // what the run wrote
    Fault fault = Fault::none;
};

// Runs one mode ("c1".."d3") over `input` in memory, silently.
Result run(const char* mode, const Bytes& input);
// The same through the C interface (lzw.h), with the same room; `fault` is the negated
// return value.
Result runApi(const char* mode, const Bytes& input);
// The same through the C interface's streams on one context, `input` read `readSize` bytes at
// a time; `fault` is the negated return value.
Result runStream(const char* mode, const Bytes& input, size_t readSize);
// The digit of every policy, in order ('1', '2', ...): the modes are 'c' and 'd' with one.
const std::vector<char>& allPolicies();
// Compresses with mode "cN", or returns an empty vector if the run failed.
Bytes encode(char policy, const Bytes& input);
// Decompresses with mode "dN".
Result decode(char policy, const Bytes& compressed);

struct NamedInput {
    std::string name;
    Bytes bytes;
};

// Deterministic inputs: empty, one byte, text, binary, seeded random, runs of one byte,
// two alternating runs. Same bytes on every machine.
std::vector<NamedInput> standardInputs();

// Seeded generators.
Bytes randomBytes(uint64_t seed, size_t size, int alphabet = 256);
Bytes pseudoText(uint64_t seed, size_t size);
Bytes pseudoBinary(uint64_t seed, size_t size);
Bytes repeated(uint8_t value, size_t size);
Bytes concat(std::initializer_list<Bytes> parts);

// A compressed stream built by hand: the header `length` (input size - 1), then `codes`
// packed two to three bytes, an odd last code padded with a zero nibble.
Bytes packCodes(int32_t length, const std::vector<int32_t>& codes);
// The codes of a compressed stream after its header (a lone pad nibble is not a code).
std::vector<int32_t> unpackCodes(const Bytes& stream);
// Whether `whole` begins with `part`.
bool startsWith(const Bytes& whole, const Bytes& part);

// The bytes of the file `name` in tests/vectors/, or none when it cannot be read.
Bytes vectorFile(const std::string& name);

// SHA-256 of `data` as 64 lowercase hex digits.
std::string sha256Hex(const Bytes& data);

}  // namespace lzw::testing
