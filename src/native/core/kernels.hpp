// Batch kernels over arrays of words.  They run without the GIL: inputs are
// read through (pointer, stride) views, outputs are fresh buffers.
//
// A length-1 input broadcasts (its stride is passed as 0).
#pragma once

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <vector>

#include "core/registry.hpp"
#include "core/word.hpp"

// The kernel loops are compiled twice on x86-64 Linux, for AVX2 and for
// the baseline, and the loader picks one (function multi-versioning): the
// chain hash multiplies, which baseline SSE2 can only emulate.
#if defined(__x86_64__) && defined(__linux__) && defined(__GNUC__) && !defined(__clang__)
#define MORVEL_KERNEL __attribute__((target_clones("avx2", "default")))
#else
#define MORVEL_KERNEL
#endif

namespace morvel::kernels {

struct View {
    const uint32_t* data;
    ptrdiff_t stride;   // in elements; 0 broadcasts element 0
    uint32_t operator[](size_t i) const { return data[static_cast<ptrdiff_t>(i) * stride]; }
};

// Cache of pair-key unions seen during one call.  The pair part of a
// combined word depends only on the pair keys of its inputs, and a pipeline
// column names one or a few pair sets, so nearly every element hits a small
// direct-mapped table that stays in L1.  When that table keeps missing (many
// distinct combinations, e.g. dense-heavy columns) a larger second level,
// sized to the call, is switched on.  The codec, and with it the registry
// mutex, is consulted on misses only.
class UnionCache {
public:
    UnionCache(Codec& codec, size_t n) : codec_(codec), n_(n) {
        for (auto& e : l1_) e = Slot{EMPTY, EMPTY, 0};
    }
    static uint32_t hash(uint32_t ka, uint32_t kb) {
        return (ka * 0x9E3779B1u) ^ (kb * 0x85EBCA77u) ^ (ka >> 17) ^ (kb >> 13);
    }
    uint32_t get(uint32_t ka, uint32_t kb) { return get(ka, kb, hash(ka, kb)); }
    // h must be hash(ka, kb); the kernel computes it in a vectorised pass.
    uint32_t get(uint32_t ka, uint32_t kb, uint32_t h) {
        const Slot& s1 = l1_[h >> (32 - L1_BITS)];
        if (__builtin_expect(s1.a == ka && s1.b == kb, 1)) return s1.r;
        return miss(ka, kb, h);
    }

private:
    // Pair keys never have bits 29-26 set, so this never matches a key.
    static constexpr uint32_t EMPTY = 0x3C000000u;
    static constexpr uint32_t L1_BITS = 8;
    static constexpr size_t L2_AFTER_MISSES = 2048;
    struct Slot { uint32_t a, b, r; };

    // Kept out of line so that the hit path of the kernel loop stays small.
    __attribute__((noinline)) uint32_t miss(uint32_t ka, uint32_t kb, uint32_t h) {
        uint32_t r;
        if (!l2_.empty()) {
            Slot& s2 = l2_[(h * 0x2545F491u) >> (32 - l2_bits_)];
            if (!(s2.a == ka && s2.b == kb)) s2 = Slot{ka, kb, codec_.combine_keys(ka, kb)};
            r = s2.r;
        } else {
            r = codec_.combine_keys(ka, kb);
            if (++misses_ == L2_AFTER_MISSES) enable_l2();
        }
        l1_[h >> (32 - L1_BITS)] = Slot{ka, kb, r};
        return r;
    }

    void enable_l2() {
        l2_bits_ = 12;
        while (l2_bits_ < 18 && (size_t(1) << l2_bits_) < n_ / 16) ++l2_bits_;
        l2_.assign(size_t(1) << l2_bits_, Slot{EMPTY, EMPTY, 0});
    }

    Codec& codec_;
    size_t n_;
    Slot l1_[size_t(1) << L1_BITS];
    std::vector<Slot> l2_;
    uint32_t l2_bits_ = 0;
    size_t misses_ = 0;
};

// Words are processed in blocks: the block's inputs are copied to local
// buffers (whatever their stride), pair keys and result words are computed
// by straight-line loops the compiler vectorises, and only the pair-key
// union goes through the (scalar) cache.
constexpr size_t BLOCK = 1024;

inline void load_block(View v, size_t start, size_t m, uint32_t* dst) {
    if (v.stride == 1) {
        std::memcpy(dst, v.data + start, m * sizeof(uint32_t));
    } else if (v.stride == 0) {
        std::fill(dst, dst + m, v.data[0]);
    } else {
        for (size_t j = 0; j < m; ++j) dst[j] = v[start + j];
    }
}

MORVEL_KERNEL inline void combine(Codec& codec, View a, View b, uint32_t* out, size_t n, uint32_t op) {
    UnionCache cache(codec, n);
    alignas(64) uint32_t wa[BLOCK], wb[BLOCK], ka[BLOCK], kb[BLOCK], hk[BLOCK], rk[BLOCK];
    for (size_t start = 0; start < n; start += BLOCK) {
        const size_t m = std::min(BLOCK, n - start);
        load_block(a, start, m, wa);
        load_block(b, start, m, wb);
        for (size_t j = 0; j < m; ++j) {
            ka[j] = word::pair_key(wa[j]);
            kb[j] = word::pair_key(wb[j]);
            hk[j] = UnionCache::hash(ka[j], kb[j]);
        }
        for (size_t j = 0; j < m; ++j) rk[j] = cache.get(ka[j], kb[j], hk[j]);
        uint32_t* o = out + start;
        for (size_t j = 0; j < m; ++j) o[j] = Codec::assemble_combined(rk[j], wa[j], wb[j], op);
    }
}

MORVEL_KERNEL inline void update_chain(View w, uint32_t* out, size_t n, uint32_t op) {
    if (w.stride == 1) {
        const uint32_t* src = w.data;
        for (size_t i = 0; i < n; ++i) out[i] = Codec::update_chain(src[i], op);
    } else {
        for (size_t i = 0; i < n; ++i) out[i] = Codec::update_chain(w[i], op);
    }
}

// Source words of one column: one pair, the row's entity, chain 0, depth 0.
inline void encode_source(uint32_t pair_id, View entities, uint32_t* out, size_t n, bool taint) {
    const uint32_t base = ((pair_id + 1) << word::M0_PAIR_SHIFT) | (taint ? word::TAINT_BIT : 0u);
    for (size_t i = 0; i < n; ++i) out[i] = base | ((entities[i] & 0xFFu) << word::M0_ENT_SHIFT);
}

inline void is_tainted(View w, bool* out, size_t n) {
    for (size_t i = 0; i < n; ++i) out[i] = word::taint(w[i]);
}

inline void risk(View w, double* out, size_t n) {
    static const double table[8] = {1.0, 1.0 / 2, 1.0 / 3, 1.0 / 4, 1.0 / 5, 1.0 / 6, 1.0 / 7, 1.0 / 8};
    for (size_t i = 0; i < n; ++i) {
        uint32_t x = w[i];
        out[i] = word::taint(x) ? table[word::depth(x)] : 0.0;
    }
}

}  // namespace morvel::kernels
