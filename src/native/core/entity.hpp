// Row-entity hashing that matches the interpreter's built-in hash() of
// integers, so that hash_entities(array) equals hash(label) & 0xFF for
// every label (the low byte of the 32-bit entity hash).
#pragma once

#include <cstdint>

namespace morvel::entity {

// CPython hashes an integer x as sign(x) * (|x| mod (2**61 - 1)), with -1
// mapped to -2 (-1 is its error marker).
constexpr uint64_t HASH_MODULUS = (uint64_t(1) << 61) - 1;

inline int64_t py_hash_int64(int64_t x) {
    uint64_t ax = x < 0 ? uint64_t(0) - static_cast<uint64_t>(x) : static_cast<uint64_t>(x);
    int64_t r = static_cast<int64_t>(ax % HASH_MODULUS);
    if (x < 0) r = -r;
    return r == -1 ? -2 : r;
}

inline int64_t py_hash_uint64(uint64_t x) { return static_cast<int64_t>(x % HASH_MODULUS); }

// (hash & 0xFFFFFFFF) % 256 is the low byte of the two's-complement hash.
inline uint32_t low_byte(int64_t h) { return static_cast<uint32_t>(static_cast<uint64_t>(h) & 0xFFu); }

}  // namespace morvel::entity
