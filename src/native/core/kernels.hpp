// Batch kernels over arrays of words.  They run without the GIL: inputs are
// read through (pointer, stride) views, outputs are fresh buffers.
//
// A length-1 input broadcasts (its stride is passed as 0).
#pragma once

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <system_error>
#include <exception>
#include <thread>
#include <vector>
#ifdef __linux__
#include <sched.h>
#endif

#include "core/registry.hpp"
#include "core/word.hpp"

// The kernel loops are compiled three times on x86-64 Linux, for AVX-512
// (x86-64-v4, 16 words per instruction), AVX2 and the baseline, and the
// loader picks one (function multi-versioning): the chain hash multiplies,
// which baseline SSE2 can only emulate.  GCC before 12 gets the AVX2 and
// baseline copies only.  A build may define MORVEL_KERNEL itself (empty:
// one copy for the compiler's target, e.g. to check each instruction set
// on its own).
#if defined(MORVEL_KERNEL)
#elif defined(__x86_64__) && defined(__linux__) && defined(__GNUC__) && !defined(__clang__)
#if __GNUC__ >= 12
#define MORVEL_KERNEL __attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
#else
#define MORVEL_KERNEL __attribute__((target_clones("avx2", "default")))
#endif
#else
#define MORVEL_KERNEL
#endif

// Helpers of the kernel loops are inlined into each of those copies, so that
// they are compiled for its instruction set too.
#if defined(__GNUC__)
#define MORVEL_INLINE inline __attribute__((always_inline))
#else
#define MORVEL_INLINE inline
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

// Words are processed in blocks of BLOCK elements.  A pipeline column
// usually names one pair set throughout, so most blocks are uniform: every
// word of a has one pair key and every word of b another.  Such a block
// needs one union for all its elements, and its result words are straight
// arithmetic on entity, chain, taint and depth that the compiler vectorises
// (combine_uniform).  Other blocks compute the pair keys of every element
// and look their unions up in the cache (combine_mixed).
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

// Contiguous words of block [start, start + m) of v: the array itself when
// its stride is 1, else a copy in buf.  A broadcast buffer is filled once
// by the caller and handed back unchanged.
inline const uint32_t* block_words(View v, size_t start, size_t m, uint32_t* buf) {
    if (v.stride == 1) return v.data + start;
    if (v.stride != 0) load_block(v, start, m, buf);
    return buf;
}

// Field layout of one mode, as the uniform combine loop reads and writes
// it: entity at (w >> ent_shift) & ent_mask, chain at w & chain_mask (both
// masks 0 in modes 2 and 3), and the bits that form the pair key.
struct Layout {
    uint32_t ent_shift, ent_mask, chain_mask, key_mask;
    explicit Layout(uint32_t key) {
        using namespace word;
        switch (mode(key)) {
            case MODE_01: *this = Layout(M0_ENT_SHIFT, M0_ENT_MASK, M0_CHAIN_MASK, 0xFFFFu); break;
            case MODE_2: *this = Layout(M1_ENT_SHIFT, M1_ENT_MASK, M1_CHAIN_MASK, 0x1FFu); break;
            case MODE_3: *this = Layout(0, 0, 0, 0x1u); break;
            default: *this = Layout(0, 0, 0, 0); break;
        }
    }

private:
    Layout(uint32_t es, uint32_t em, uint32_t cm, uint32_t low)
        : ent_shift(es), ent_mask(em), chain_mask(cm),
          key_mask((word::MODE_MASK | word::PAYLOAD_MASK) & ~low) {}
};

// Writes the combined words of m elements as if every word of a had pair
// key ka and every word of b pair key kb (rk being the key of their union),
// and returns zero when that held.  A non-zero result means some word has
// another key: out must then be rewritten by combine_mixed.
//
// With the three modes fixed, assemble_combined reduces to shifts and masks
// by loop-invariant amounts: the entity and chain folds of a mode-1 result
// are x ^ (x >> 5) and x ^ (x >> 4) under a mask, and for a mode-0 result
// the same expressions with a shift of 8, which leaves 8-bit values as they
// are.  Depth is computed in place in bits 28-26: max + 1, and a result of
// 8 (bit 29) is brought back to 7.
MORVEL_INLINE uint32_t combine_uniform(const uint32_t* __restrict a, const uint32_t* __restrict b,
                                       uint32_t* __restrict out, size_t m, uint32_t ka,
                                       uint32_t kb, uint32_t rk, uint32_t op) {
    using namespace word;
    const Layout la(ka), lb(kb);
    const uint32_t rmode = mode(rk);
    const uint32_t e_fold = rmode == MODE_2 ? 5 : 8, c_fold = rmode == MODE_2 ? 4 : 8;
    const uint32_t e_out = rmode == MODE_01 ? M0_ENT_MASK : rmode == MODE_2 ? M1_ENT_MASK : 0;
    const uint32_t c_out = rmode == MODE_01 ? M0_CHAIN_MASK : rmode == MODE_2 ? M1_CHAIN_MASK : 0;
    const uint32_t e_shift = rmode == MODE_2 ? M1_ENT_SHIFT : M0_ENT_SHIFT;
    const uint32_t op_bits = (op & 0xFFFFu) << 16;
    constexpr uint32_t DEPTH_BITS = MAX_DEPTH << DEPTH_SHIFT, DEPTH_ONE = 1u << DEPTH_SHIFT;
    uint32_t other = 0;
    for (size_t j = 0; j < m; ++j) {
        const uint32_t x = a[j], y = b[j];
        other |= ((x & la.key_mask) ^ ka) | ((y & lb.key_mask) ^ kb);
        const uint32_t e = ((x >> la.ent_shift) & la.ent_mask) ^ ((y >> lb.ent_shift) & lb.ent_mask);
        const uint32_t c = (((x & la.chain_mask) | ((y & lb.chain_mask) << 8) | op_bits) *
                            CHAIN_MULT) >> 24;
        const uint32_t dx = x & DEPTH_BITS, dy = y & DEPTH_BITS;
        uint32_t d = std::max(dx, dy) + DEPTH_ONE;
        d -= (d >> 3) & DEPTH_ONE;
        out[j] = rk | ((x | y) & TAINT_BIT) | d | (((e ^ (e >> e_fold)) & e_out) << e_shift) |
                 ((c ^ (c >> c_fold)) & c_out);
    }
    return other;
}

// Combined words of m elements with per-element unions.  Returns true when
// the block turned out uniform after all (the caller then tries the uniform
// path on the next block).
MORVEL_INLINE bool combine_mixed(UnionCache& cache, const uint32_t* a, const uint32_t* b,
                                 uint32_t* out, size_t m, uint32_t op, uint32_t* ka, uint32_t* kb,
                                 uint32_t* hk, uint32_t* rk) {
    uint32_t other = 0;
    const uint32_t ka0 = word::pair_key(a[0]), kb0 = word::pair_key(b[0]);
    for (size_t j = 0; j < m; ++j) {
        ka[j] = word::pair_key(a[j]);
        kb[j] = word::pair_key(b[j]);
        hk[j] = UnionCache::hash(ka[j], kb[j]);
        other |= (ka[j] ^ ka0) | (kb[j] ^ kb0);
    }
    if (other == 0) {
        const uint32_t r = cache.get(ka0, kb0, hk[0]);
        for (size_t j = 0; j < m; ++j) out[j] = Codec::assemble_combined(r, a[j], b[j], op);
        return true;
    }
    for (size_t j = 0; j < m; ++j) rk[j] = cache.get(ka[j], kb[j], hk[j]);
    for (size_t j = 0; j < m; ++j) out[j] = Codec::assemble_combined(rk[j], a[j], b[j], op);
    return false;
}

// Blocks [first, last) on the uniform path with the keys ka, kb and their
// union rk; flags the blocks where some word has other keys (their output
// is then to be rewritten).  Never calls the codec, so it may run on a
// second thread (and cannot throw while that thread is running).
MORVEL_KERNEL inline void combine_uniform_blocks(View a, View b, uint32_t* out, size_t n,
                                                 size_t first, size_t last, uint32_t ka,
                                                 uint32_t kb, uint32_t rk, uint32_t op,
                                                 uint8_t* failed) noexcept {
    alignas(64) uint32_t wa[BLOCK], wb[BLOCK];
    if (a.stride == 0) std::fill(wa, wa + BLOCK, a.data[0]);
    if (b.stride == 0) std::fill(wb, wb + BLOCK, b.data[0]);
    for (size_t blk = first; blk < last; ++blk) {
        const size_t start = blk * BLOCK, m = std::min(BLOCK, n - start);
        const uint32_t* pa = block_words(a, start, m, wa);
        const uint32_t* pb = block_words(b, start, m, wb);
        failed[blk] = combine_uniform(pa, pb, out + start, m, ka, kb, rk, op) != 0;
    }
}

// Serial combine of the blocks listed in blocks[0, count) (ascending), or
// of every block when blocks is null.  What the codec throws (a dense
// signature it does not know, an exhausted signature space) is caught here
// and left in error: calls into a function with target clones are taken as
// never throwing, so an exception leaving one would terminate the process.
MORVEL_KERNEL inline void combine_blocks(UnionCache& cache, View a, View b, uint32_t* out,
                                         size_t n, const size_t* blocks, size_t count,
                                         uint32_t op, std::exception_ptr& error) noexcept {
  try {
    alignas(64) uint32_t wa[BLOCK], wb[BLOCK], ka[BLOCK], kb[BLOCK], hk[BLOCK], rk[BLOCK];
    if (a.stride == 0) std::fill(wa, wa + BLOCK, a.data[0]);
    if (b.stride == 0) std::fill(wb, wb + BLOCK, b.data[0]);
    // Union of the keys of the last uniform block; `uniform` says whether
    // the next block is tried on the uniform path first.
    uint32_t cur_a = 0, cur_b = 0, cur_r = 0;
    bool have = false, uniform = true;
    for (size_t i = 0; i < count; ++i) {
        const size_t start = (blocks ? blocks[i] : i) * BLOCK, m = std::min(BLOCK, n - start);
        const uint32_t* pa = block_words(a, start, m, wa);
        const uint32_t* pb = block_words(b, start, m, wb);
        uint32_t* o = out + start;
        if (uniform) {
            const uint32_t k0a = word::pair_key(pa[0]), k0b = word::pair_key(pb[0]);
            if (!have || k0a != cur_a || k0b != cur_b) {
                cur_a = k0a;
                cur_b = k0b;
                cur_r = cache.get(k0a, k0b);
                have = true;
            }
            if (combine_uniform(pa, pb, o, m, cur_a, cur_b, cur_r, op) == 0) continue;
        }
        uniform = combine_mixed(cache, pa, pb, o, m, op, ka, kb, hk, rk);
    }
  } catch (...) {
    error = std::current_exception();
  }
}

// combine_blocks, rethrowing what it caught.
inline void combine_blocks_or_throw(UnionCache& cache, View a, View b, uint32_t* out, size_t n,
                                    const size_t* blocks, size_t count, uint32_t op) {
    std::exception_ptr error;
    combine_blocks(cache, a, b, out, n, blocks, count, op, error);
    if (error) std::rethrow_exception(error);
}

// Calls of at least this many words whose first block is uniform split the
// uniform path over two threads: a single thread is limited by one core's
// memory bandwidth.  Below about 600,000 words the second thread's start
// and its cold caches cost more than it saves (measured on a 2-core
// machine with bench/bench_codec.py --uniform-sizes).
constexpr size_t PARALLEL_MIN = size_t(3) << 18;  // 786,432

// True when this process may run on two CPUs or more (its affinity mask,
// which containers and taskset narrow, not just the CPUs online).
inline bool two_cpus_available() {
#ifdef __linux__
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) return CPU_COUNT(&set) >= 2;
#endif
    return std::thread::hardware_concurrency() >= 2;
}

// Element-wise combine.  Unions are requested from the codec in the order
// of their first occurrence in the arrays, on every path: dense signatures
// are issued in that order, so results do not depend on the split.  With
// two_threads false the call stays on one thread (the caller already runs it
// beside other work).
inline void combine(Codec& codec, View a, View b, uint32_t* out, size_t n, uint32_t op,
                    bool two_threads = true) {
    if (n == 0) return;
    UnionCache cache(codec, n);
    const size_t nblocks = (n + BLOCK - 1) / BLOCK;
    if (!two_threads || n < PARALLEL_MIN || !two_cpus_available()) {
        combine_blocks_or_throw(cache, a, b, out, n, nullptr, nblocks, op);
        return;
    }
    // The union of the first words' keys is requested first, as the serial
    // path does; the threads then only compute.
    const uint32_t ka = word::pair_key(a[0]), kb = word::pair_key(b[0]);
    const uint32_t rk = cache.get(ka, kb);
    std::vector<uint8_t> failed(nblocks, 0);
    combine_uniform_blocks(a, b, out, n, 0, 1, ka, kb, rk, op, failed.data());
    if (failed[0]) {
        combine_blocks_or_throw(cache, a, b, out, n, nullptr, nblocks, op);
        return;
    }
    const size_t split = (nblocks + 1) / 2;
    std::thread helper;
    try {
        helper = std::thread(combine_uniform_blocks, a, b, out, n, split, nblocks, ka, kb, rk, op,
                             failed.data());
    } catch (const std::system_error&) {
        combine_uniform_blocks(a, b, out, n, split, nblocks, ka, kb, rk, op, failed.data());
    }
    combine_uniform_blocks(a, b, out, n, 1, split, ka, kb, rk, op, failed.data());
    if (helper.joinable()) helper.join();
    // Blocks with other keys, in order, through the serial path.
    std::vector<size_t> rest;
    for (size_t blk = 0; blk < nblocks; ++blk)
        if (failed[blk]) rest.push_back(blk);
    if (!rest.empty()) combine_blocks_or_throw(cache, a, b, out, n, rest.data(), rest.size(), op);
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

// Partial aggregate of each group: out[g] = join of the words whose code is
// g (Codec::assemble_joined), 0 for a group without words.  Rows with a
// negative code, or one not below ngroups, belong to no group and are
// skipped.  The join is associative and commutative: the result does not
// depend on the order of the rows nor on how they were split into parts
// joined separately.
inline void join_groups(Codec& codec, const int64_t* codes, ptrdiff_t code_stride, View w,
                        uint32_t* out, size_t n, size_t ngroups) {
    std::fill(out, out + ngroups, 0u);
    if (n == 0) return;
    const int64_t limit = static_cast<int64_t>(ngroups);
    // A column usually names one pair set throughout: then every partial
    // aggregate has that set (or none yet), and one union serves all rows.
    const uint32_t k0 = word::pair_key(w[0]);
    bool uniform = true;
    for (size_t i = 1; i < n && uniform; ++i) uniform = word::pair_key(w[i]) == k0;
    if (uniform) {
        // Every word has the same mode and pair field, so the entity and
        // chain fields sit at the same bits in all of them and their XOR is
        // the XOR of the whole words under the fields' mask (the result's
        // mode is theirs; modes 2 and 3 have no such fields).  Taint ORs
        // and depth is a maximum: three independent accumulators per group,
        // equal to folding assemble_joined over the rows.
        using namespace word;
        const uint32_t rk = codec.combine_keys(k0, k0);
        const uint32_t fields = mode(k0) == MODE_01 ? 0xFFFFu : mode(k0) == MODE_2 ? 0x1FFu : 0u;
        const uint32_t depth_bits = 7u << DEPTH_SHIFT;
        std::vector<uint32_t> taints(ngroups, 0), depths(ngroups, 0);
        std::vector<uint8_t> seen(ngroups, 0);
        for (size_t i = 0; i < n; ++i) {
            const int64_t g = codes[static_cast<ptrdiff_t>(i) * code_stride];
            if (g < 0 || g >= limit) continue;
            const uint32_t x = w[i];
            out[g] ^= x;
            taints[g] |= x;
            const uint32_t d = x & depth_bits;
            if (d > depths[g]) depths[g] = d;
            seen[g] = 1;
        }
        for (size_t g = 0; g < ngroups; ++g)
            out[g] = seen[g] ? rk | (taints[g] & TAINT_BIT) | depths[g] | (out[g] & fields) : 0u;
        return;
    }
    UnionCache cache(codec, n);
    for (size_t i = 0; i < n; ++i) {
        const int64_t g = codes[static_cast<ptrdiff_t>(i) * code_stride];
        if (g < 0 || g >= limit) continue;
        const uint32_t acc = out[g], x = w[i];
        out[g] = Codec::assemble_joined(cache.get(word::pair_key(acc), word::pair_key(x)), acc, x);
    }
}

// The aggregate's own step, applied once to a joined partial aggregate:
// depth + 1 (saturating at MAX_DEPTH) and the operation code in the chain.
inline uint32_t finish_aggregate(uint32_t joined, uint32_t op) {
    using namespace word;
    uint32_t d = depth(joined) + 1;
    d -= d >> 3;  // 8 -> 7
    return Codec::update_chain((joined & ~(7u << DEPTH_SHIFT)) | (d << DEPTH_SHIFT), op);
}

MORVEL_KERNEL inline void finish_aggregates(View w, uint32_t* out, size_t n, uint32_t op) {
    for (size_t i = 0; i < n; ++i) out[i] = finish_aggregate(w[i], op);
}

// One aggregate word per group: the members' words joined (join_groups),
// then the aggregate's step (finish_aggregate) for every group with at
// least one member; a group without members gets 0.  Independent of the
// order of the rows, and equal to joining parts separately, joining the
// partial aggregates and finishing once (how a distributed reduction
// computes it).
inline void aggregate_groups(Codec& codec, const int64_t* codes, ptrdiff_t code_stride, View w,
                             uint32_t* out, size_t n, size_t ngroups, uint32_t op) {
    join_groups(codec, codes, code_stride, w, out, n, ngroups);
    std::vector<uint8_t> seen(ngroups, 0);
    const int64_t limit = static_cast<int64_t>(ngroups);
    for (size_t i = 0; i < n; ++i) {
        const int64_t g = codes[static_cast<ptrdiff_t>(i) * code_stride];
        if (g >= 0 && g < limit) seen[static_cast<size_t>(g)] = 1;
    }
    for (size_t k = 0; k < ngroups; ++k)
        if (seen[k]) out[k] = finish_aggregate(out[k], op);
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
