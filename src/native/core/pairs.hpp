// Pair sets and the collision-free numbering of small pair sets.
//
// A pair set is a subset of the pair IDs 0..511, held as a 512-bit set.
// Sets of one, two and three IDs are numbered so that they fit the payload
// fields of modes 0, 1 and 2 exactly (combinatorial number system):
//   {a}        -> a + 1                       (0 means "no pair")
//   {a<b}      -> C(b,2) + a                  (< 130,816 <= 2^17)
//   {a<b<c}    -> C(c,3) + C(b,2) + a         (< 22,238,720 <= 2^25)
// Numbers outside these ranges are never produced; decoding reports them
// as invalid so that a foreign word never yields invented pairs.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/word.hpp"

namespace morvel::pairs {

constexpr uint32_t N = word::MAX_PAIRS;
constexpr uint32_t PAIR2_COUNT = N * (N - 1) / 2;               // 130,816
constexpr uint32_t PAIR3_COUNT = N * (N - 1) * (N - 2) / 6;     // 22,238,720

struct PairSet {
    std::array<uint64_t, N / 64> bits{};

    void add(uint32_t id) { bits[id >> 6] |= uint64_t(1) << (id & 63); }
    bool has(uint32_t id) const { return (bits[id >> 6] >> (id & 63)) & 1u; }
    void unite(const PairSet& o) {
        for (size_t i = 0; i < bits.size(); ++i) bits[i] |= o.bits[i];
    }
    uint32_t size() const {
        uint32_t n = 0;
        for (uint64_t b : bits) n += static_cast<uint32_t>(__builtin_popcountll(b));
        return n;
    }
    // Ascending IDs; writes at most `cap` of them into out, returns count.
    uint32_t ids(uint32_t* out, uint32_t cap) const {
        uint32_t n = 0;
        for (uint32_t i = 0; i < bits.size(); ++i) {
            uint64_t b = bits[i];
            while (b && n < cap) {
                out[n++] = i * 64 + static_cast<uint32_t>(__builtin_ctzll(b));
                b &= b - 1;
            }
        }
        return n;
    }
    std::vector<uint32_t> to_vector() const {
        std::vector<uint32_t> v;
        for (uint32_t i = 0; i < bits.size(); ++i) {
            uint64_t b = bits[i];
            while (b) {
                v.push_back(i * 64 + static_cast<uint32_t>(__builtin_ctzll(b)));
                b &= b - 1;
            }
        }
        return v;
    }
    bool operator==(const PairSet& o) const { return bits == o.bits; }
    uint64_t hash() const {
        uint64_t h = 0x9E3779B97F4A7C15ull;
        for (uint64_t b : bits) {
            h ^= b + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2);
            h *= 0xBF58476D1CE4E5B9ull;
            h ^= h >> 31;
        }
        return h;
    }
};

struct PairSetHash {
    size_t operator()(const PairSet& s) const { return static_cast<size_t>(s.hash()); }
};

inline constexpr uint32_t choose2(uint32_t n) { return n * (n - 1) / 2; }
inline constexpr uint32_t choose3(uint32_t n) { return n * (n - 1) * (n - 2) / 6; }

inline uint32_t rank2(uint32_t a, uint32_t b) { return choose2(b) + a; }          // a < b
inline uint32_t rank3(uint32_t a, uint32_t b, uint32_t c) {                       // a < b < c
    return choose3(c) + choose2(b) + a;
}

// Largest b in [1, N) with C(b,2) <= r, and largest c in [2, N) with
// C(c,3) <= r: a floating-point estimate corrected by at most a step or two.
inline uint32_t largest2(uint32_t r) {
    double est = (1.0 + std::sqrt(1.0 + 8.0 * static_cast<double>(r))) / 2.0;
    uint32_t b = est < 1.0 ? 1u : (est > N - 1 ? N - 1 : static_cast<uint32_t>(est));
    while (b < N - 1 && choose2(b + 1) <= r) ++b;
    while (b > 1 && choose2(b) > r) --b;
    return b;
}
inline uint32_t largest3(uint32_t r) {
    double est = std::cbrt(6.0 * static_cast<double>(r)) + 1.0;
    uint32_t c = est < 2.0 ? 2u : (est > N - 1 ? N - 1 : static_cast<uint32_t>(est));
    while (c < N - 1 && choose3(c + 1) <= r) ++c;
    while (c > 2 && choose3(c) > r) --c;
    return c;
}

// Inverse of rank2; false when the number names no 2-set.
inline bool unrank2(uint32_t r, uint32_t& a, uint32_t& b) {
    if (r >= PAIR2_COUNT) return false;
    b = largest2(r);
    a = r - choose2(b);
    return true;
}

// Inverse of rank3; false when the number names no 3-set.
inline bool unrank3(uint32_t r, uint32_t& a, uint32_t& b, uint32_t& c) {
    if (r >= PAIR3_COUNT) return false;
    c = largest3(r);
    uint32_t rest = r - choose3(c);
    b = largest2(rest);
    a = rest - choose2(b);
    return true;
}

}  // namespace morvel::pairs
