// Bindings of the reductions over groups and windows of words: the word of
// an aggregated value combines the words of every value it was computed
// from (pairs united, entity XOR, chain advanced by the operation code,
// taint OR) and its depth is the deepest member's plus one (saturating).
#include "common.hpp"

namespace morvel::bind {
namespace {

using IdsIn = nb::ndarray<const int64_t, nb::ndim<1>, nb::device::cpu>;

// The finished word of a fold: one more chain step with the operation code
// and the depth set to the members' maximum + 1.
inline uint32_t finish(uint32_t acc, uint32_t max_depth, uint32_t op) {
    using namespace word;
    uint32_t d = max_depth + 1;
    if (d > MAX_DEPTH) d = MAX_DEPTH;
    const uint32_t w = Codec::update_chain(acc, op);
    return (w & ~(7u << DEPTH_SHIFT)) | (d << DEPTH_SHIFT);
}

// combine(acc, x, op), with the pair-set unions looked up in a per-call
// cache: the members of a group usually name one or a few pair sets.
inline uint32_t fold(kernels::UnionCache& cache, uint32_t acc, uint32_t x, uint32_t op) {
    return Codec::assemble_combined(cache.get(word::pair_key(acc), word::pair_key(x)), acc, x, op);
}

}  // namespace

void register_reduce(nb::module_& m) {
    m.def(
        "reduce_groups",
        [](Codec& codec, WordsIn words, IdsIn groups, size_t ngroups, nb::handle op_h) {
            const uint32_t op = low32(op_h, "op");
            const size_t n = words.shape(0);
            if (groups.shape(0) != n)
                throw nb::value_error("reduce_groups: words and groups have different lengths");
            uint32_t* out;
            auto result = new_array<uint32_t>(ngroups, out);
            {
                nb::gil_scoped_release release;
                std::vector<uint32_t> max_depth(ngroups, 0);
                std::vector<uint8_t> seen(ngroups, 0);
                kernels::UnionCache cache(codec, n);
                kernels::View w = view_of(words, false);
                const int64_t* g = groups.data();
                const ptrdiff_t gs = static_cast<ptrdiff_t>(groups.stride(0));
                for (size_t k = 0; k < ngroups; ++k) out[k] = 0;
                for (size_t i = 0; i < n; ++i) {
                    const int64_t k = g[static_cast<ptrdiff_t>(i) * gs];
                    if (k < 0 || static_cast<size_t>(k) >= ngroups) continue;
                    const uint32_t x = w[i];
                    const uint32_t d = word::depth(x);
                    if (!seen[k]) {
                        seen[k] = 1;
                        out[k] = x;
                        max_depth[k] = d;
                    } else {
                        out[k] = fold(cache, out[k], x, op);
                        if (d > max_depth[k]) max_depth[k] = d;
                    }
                }
                for (size_t k = 0; k < ngroups; ++k)
                    if (seen[k]) out[k] = finish(out[k], max_depth[k], op);
            }
            return result;
        },
        nb::arg("codec"), nb::arg("words"), nb::arg("groups"), nb::arg("ngroups"), nb::arg("op"),
        "One word per group 0..ngroups-1: the members' words (positions whose group id is k, "
        "in order) folded with combine, one chain step with op, depth = deepest member + 1. "
        "Negative group ids are skipped; a group without members gets 0.");

    m.def(
        "reduce_windows",
        [](Codec& codec, WordsIn words, IdsIn starts, IdsIn ends, nb::handle op_h) {
            const uint32_t op = low32(op_h, "op");
            const size_t n = words.shape(0);
            const size_t k = starts.shape(0);
            if (ends.shape(0) != k)
                throw nb::value_error("reduce_windows: starts and ends have different lengths");
            uint32_t* out;
            auto result = new_array<uint32_t>(k, out);
            {
                nb::gil_scoped_release release;
                kernels::View w = view_of(words, false);
                const int64_t* s = starts.data();
                const int64_t* e = ends.data();
                const ptrdiff_t ss = static_cast<ptrdiff_t>(starts.stride(0));
                const ptrdiff_t es = static_cast<ptrdiff_t>(ends.stride(0));
                // The running fold of the previous window, reused when the next
                // window only extends it (expanding windows stay linear).
                int64_t prev_s = -1, prev_e = -1;
                kernels::UnionCache cache(codec, n);
                uint32_t acc = 0, max_depth = 0;
                for (size_t j = 0; j < k; ++j) {
                    int64_t a = s[static_cast<ptrdiff_t>(j) * ss];
                    int64_t b = e[static_cast<ptrdiff_t>(j) * es];
                    if (a < 0) a = 0;
                    if (b > static_cast<int64_t>(n)) b = static_cast<int64_t>(n);
                    int64_t from = a;
                    if (a == prev_s && b >= prev_e && prev_e > prev_s) {
                        from = prev_e;
                    } else {
                        acc = 0;
                        max_depth = 0;
                    }
                    for (int64_t i = from; i < b; ++i) {
                        const uint32_t x = w[static_cast<size_t>(i)];
                        const uint32_t d = word::depth(x);
                        if (i == a) {
                            acc = x;
                            max_depth = d;
                        } else {
                            acc = fold(cache, acc, x, op);
                            if (d > max_depth) max_depth = d;
                        }
                    }
                    out[j] = b > a ? finish(acc, max_depth, op) : 0;
                    prev_s = a;
                    prev_e = b > a ? b : a;
                }
            }
            return result;
        },
        nb::arg("codec"), nb::arg("words"), nb::arg("starts"), nb::arg("ends"), nb::arg("op"),
        "One word per window [starts[j], ends[j]): the words folded as in reduce_groups; "
        "an empty window gets 0.");
}

}  // namespace morvel::bind
