// Bindings of the reductions over groups and windows of words.  The word of
// an aggregated value joins the words of every value it was computed from
// (pairs united, entity and chain XOR, taint OR, depth max: associative and
// commutative, so the order of the members does not matter) and then takes
// the aggregate's own step once (depth + 1, saturating, and the operation
// code in the chain).  A distributed reduction that joins partial
// aggregates and finishes once gives the very same words.
#include "common.hpp"

namespace morvel::bind {
namespace {

using IdsIn = nb::ndarray<const int64_t, nb::ndim<1>, nb::device::cpu>;

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
                kernels::aggregate_groups(codec, groups.data(),
                                          static_cast<ptrdiff_t>(groups.stride(0)),
                                          view_of(words, false), out, n, ngroups, op);
            }
            return result;
        },
        nb::arg("codec"), nb::arg("words"), nb::arg("groups"), nb::arg("ngroups"), nb::arg("op"),
        "One word per group 0..ngroups-1: the words of its members (positions whose group id "
        "is k) joined as join_groups does, then one aggregate step (finish_aggregates with op); "
        "independent of the members' order. Group ids outside 0..ngroups-1 are skipped; a group "
        "without members gets 0.");

    m.def(
        "finish_aggregates",
        [](const Codec&, WordsIn words, nb::handle op_h) {
            const uint32_t op = low32(op_h, "op");
            const size_t n = words.shape(0);
            uint32_t* out;
            auto result = new_array<uint32_t>(n, out);
            {
                nb::gil_scoped_release release;
                kernels::finish_aggregates(view_of(words, false), out, n, op);
            }
            return result;
        },
        nb::arg("codec"), nb::arg("words"), nb::arg("op"),
        "The aggregate step of each joined partial aggregate (see join_groups): depth + 1 "
        "(saturating at 7) and op in the chain; a new uint32 array.");

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
                // The join of the previous window, reused when the next window
                // only extends it (expanding windows stay linear).
                int64_t prev_s = -1, prev_e = -1;
                kernels::UnionCache cache(codec, n);
                uint32_t acc = 0;
                for (size_t j = 0; j < k; ++j) {
                    int64_t a = s[static_cast<ptrdiff_t>(j) * ss];
                    int64_t b = e[static_cast<ptrdiff_t>(j) * es];
                    if (a < 0) a = 0;
                    if (b > static_cast<int64_t>(n)) b = static_cast<int64_t>(n);
                    int64_t from = a;
                    if (a == prev_s && b >= prev_e && prev_e > prev_s)
                        from = prev_e;
                    else
                        acc = 0;
                    for (int64_t i = from; i < b; ++i) {
                        const uint32_t x = w[static_cast<size_t>(i)];
                        acc = Codec::assemble_joined(
                            cache.get(word::pair_key(acc), word::pair_key(x)), acc, x);
                    }
                    out[j] = b > a ? kernels::finish_aggregate(acc, op) : 0;
                    prev_s = a;
                    prev_e = b > a ? b : a;
                }
            }
            return result;
        },
        nb::arg("codec"), nb::arg("words"), nb::arg("starts"), nb::arg("ends"), nb::arg("op"),
        "One word per window [starts[j], ends[j]): its words joined and finished as in "
        "reduce_groups (independent of their order); an empty window gets 0.");
}

}  // namespace morvel::bind
