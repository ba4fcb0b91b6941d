// VORTEL-32 word layout: constants, header reads, field access and the
// chain hash.  Everything here is a pure function of its arguments.
//
//   bits 31-30  mode    0: 0-1 pairs, 1: 2 pairs, 2: 3 pairs, 3: 4+ pairs
//   bit  29     taint
//   bits 28-26  depth   0-7, saturating
//   bits 25-0   payload (layout per mode, see below)
//
//   mode 0: pair_data 10 (25-16) | entity 8 (15-8) | chain 8 (7-0)
//   mode 1: pair_index 17 (25-9) | entity 5 (8-4)  | chain 4 (3-0)
//   mode 2: pair_combo 25 (25-1) | reserved 1 (0)
//   mode 3: signature 26 (25-0)
#pragma once

#include <cstdint>

namespace morvel::word {

constexpr uint32_t MAX_PAIRS = 512;
constexpr uint32_t MODE_01 = 0, MODE_2 = 1, MODE_3 = 2, MODE_DENSE = 3;
constexpr uint32_t MODE_SHIFT = 30, TAINT_SHIFT = 29, DEPTH_SHIFT = 26;
constexpr uint32_t PAYLOAD_BITS = 26;
constexpr uint32_t PAYLOAD_MASK = (1u << PAYLOAD_BITS) - 1u;
constexpr uint32_t MAX_DEPTH = 7;
constexpr uint32_t HEADER_MASK = ~PAYLOAD_MASK;
constexpr uint32_t TAINT_BIT = 1u << TAINT_SHIFT;

// Field widths and positions inside the payload.
constexpr uint32_t M0_PAIR_SHIFT = 16, M0_PAIR_MASK = 0x3FF;
constexpr uint32_t M0_ENT_SHIFT = 8, M0_ENT_MASK = 0xFF, M0_CHAIN_MASK = 0xFF;
constexpr uint32_t M1_PAIR_SHIFT = 9, M1_PAIR_MASK = 0x1FFFF;
constexpr uint32_t M1_ENT_SHIFT = 4, M1_ENT_MASK = 0x1F, M1_CHAIN_MASK = 0xF;
constexpr uint32_t M2_PAIR_SHIFT = 1, M2_PAIR_MASK = 0x1FFFFFF;
constexpr uint32_t DENSE_SIG_MASK = PAYLOAD_MASK;

// Field layouts differ per mode; the helpers below pick them with
// all-ones/all-zeros selectors instead of branches or table lookups, so the
// batch kernels vectorise and mixed-mode columns cost no mispredictions.
constexpr uint32_t MODE_MASK = 3u << MODE_SHIFT;

// All ones when the mode of w is m, else 0.
inline uint32_t sel_mode(uint32_t w, uint32_t m) { return 0u - static_cast<uint32_t>((w >> MODE_SHIFT) == m); }

inline uint32_t mode(uint32_t w) { return (w >> MODE_SHIFT) & 3u; }
inline bool taint(uint32_t w) { return (w >> TAINT_SHIFT) & 1u; }
inline uint32_t depth(uint32_t w) { return (w >> DEPTH_SHIFT) & 7u; }
// The bits of a word that name its pair set: mode plus pair field (entity,
// chain, taint and depth cleared).  Two words with equal pair keys name the
// same pair set; the batch kernels cache on this key.  Pair keys never have
// bits 29-26 set.
inline uint32_t pair_key(uint32_t w) {
    const uint32_t low = (sel_mode(w, MODE_01) & 0xFFFFu) | (sel_mode(w, MODE_2) & 0x1FFu) |
                         (sel_mode(w, MODE_3) & 0x1u);
    return w & (MODE_MASK | PAYLOAD_MASK) & ~low;
}

inline double risk(uint32_t w) {
    return taint(w) ? 1.0 / (1.0 + static_cast<double>(depth(w))) : 0.0;
}

inline uint32_t header(uint32_t mode_value, bool taint_bit, uint32_t depth_value) {
    return (mode_value << MODE_SHIFT) | (taint_bit ? TAINT_BIT : 0u) |
           ((depth_value & 7u) << DEPTH_SHIFT);
}

// Entity folding.  Mode 0 keeps 8 entity bits, mode 1 keeps 5.  The 8 -> 5
// fold is linear over XOR (fold(a ^ b) == fold(a) ^ fold(b)), so the entity
// of a combined mode-1 word is still the XOR of its inputs' entities.
inline uint32_t fold_entity5(uint32_t e8) { return (e8 ^ (e8 >> 5)) & M1_ENT_MASK; }
inline uint32_t fold_chain4(uint32_t c8) { return (c8 ^ (c8 >> 4)) & M1_CHAIN_MASK; }

// Entity and chain as stored in the word (0 for modes 2 and 3, which have
// no room for them).
inline uint32_t entity_field(uint32_t w) {
    switch (mode(w)) {
        case MODE_01: return (w >> M0_ENT_SHIFT) & M0_ENT_MASK;
        case MODE_2: return (w >> M1_ENT_SHIFT) & M1_ENT_MASK;
        default: return 0;
    }
}
inline uint32_t chain_field(uint32_t w) {
    switch (mode(w)) {
        case MODE_01: return w & M0_CHAIN_MASK;
        case MODE_2: return w & M1_CHAIN_MASK;
        default: return 0;
    }
}

// 32-bit finaliser (good avalanche, a handful of cycles).
inline uint32_t mix32(uint32_t x) {
    x ^= x >> 16;
    x *= 0x7FEB352Du;
    x ^= x >> 15;
    x *= 0x846CA68Bu;
    x ^= x >> 16;
    return x;
}

// Chain hashes: a multiplicative hash (top byte of one 32-bit product),
// cheap enough for the batch kernels.  The two-operand hash is ordered
// (a op b differs from b op a) and depends on both chains and on the
// operation code; the one-operand hash is salted so that it differs from
// the two-operand one.  8-bit results.
constexpr uint32_t CHAIN_MULT = 0x9E3779B1u;

inline uint32_t chain_combine(uint32_t ca, uint32_t cb, uint32_t op) {
    return (((ca & 0xFF) | ((cb & 0xFF) << 8) | ((op & 0xFFFF) << 16)) * CHAIN_MULT) >> 24;
}

inline uint32_t chain_update(uint32_t c, uint32_t op) {
    return ((((c & 0xFF) | ((op & 0xFFFF) << 16)) ^ 0x5A00A500u) * CHAIN_MULT) >> 24;
}

}  // namespace morvel::word
