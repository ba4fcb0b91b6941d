// Batch kernels over arrays of words.  They run without the GIL: inputs are
// read through (pointer, stride) views, outputs are fresh buffers.
//
// A length-1 input broadcasts (its stride is passed as 0).
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/registry.hpp"
#include "core/word.hpp"

namespace morvel::kernels {

struct View {
    const uint32_t* data;
    ptrdiff_t stride;   // in elements; 0 broadcasts element 0
    uint32_t operator[](size_t i) const { return data[static_cast<ptrdiff_t>(i) * stride]; }
};

// Cache of pair-key unions seen during one call.  The pair part of a
// combined word depends only on the pair keys of its inputs, and a pipeline
// column names one or a few pair sets, so nearly every element hits the
// last combination; a small direct-mapped table catches the rest.  The
// codec (and its registry mutex) is consulted on misses only.
class UnionCache {
public:
    explicit UnionCache(Codec& codec) : codec_(codec) {
        for (auto& e : slots_) e.valid = false;
    }
    uint32_t get(uint32_t ka, uint32_t kb) {
        if (ka == last_a_ && kb == last_b_ && last_valid_) return last_r_;
        Slot& s = slots_[word::mix32(ka ^ (kb * 0x9E3779B1u)) & (SLOTS - 1)];
        if (!(s.valid && s.a == ka && s.b == kb)) {
            s.a = ka;
            s.b = kb;
            s.r = codec_.combine_keys(ka, kb);
            s.valid = true;
        }
        last_a_ = ka; last_b_ = kb; last_r_ = s.r; last_valid_ = true;
        return s.r;
    }

private:
    static constexpr size_t SLOTS = 1024;
    struct Slot { uint32_t a, b, r; bool valid; };
    Codec& codec_;
    Slot slots_[SLOTS];
    uint32_t last_a_ = 0, last_b_ = 0, last_r_ = 0;
    bool last_valid_ = false;
};

inline void combine(Codec& codec, View a, View b, uint32_t* out, size_t n, uint32_t op) {
    UnionCache cache(codec);
    for (size_t i = 0; i < n; ++i) {
        uint32_t wa = a[i], wb = b[i];
        uint32_t r = cache.get(word::pair_key(wa), word::pair_key(wb));
        out[i] = Codec::assemble_combined(r, wa, wb, op);
    }
}

inline void update_chain(View w, uint32_t* out, size_t n, uint32_t op) {
    for (size_t i = 0; i < n; ++i) out[i] = Codec::update_chain(w[i], op);
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
