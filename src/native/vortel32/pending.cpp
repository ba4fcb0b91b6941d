// Word kernels started on a background thread: the caller computes the
// values of an element operation (numpy releases the GIL for that) while the
// words are computed beside it, then collects them with result().
#include <memory>

#include "common.hpp"
#include "core/background.hpp"

namespace morvel::bind {

namespace {

// Words being computed: the output array, the inputs and the codec kept
// alive until the task is joined.
struct PendingWords {
    ArrayOut<uint32_t> out;
    WordsIn a, b;
    nb::object codec;
    std::unique_ptr<BackgroundTask> task;
    bool failed = false;

    ArrayOut<uint32_t> result() {
        if (failed) throw nb::value_error("result(): the word kernel failed; its words are not available");
        try {
            nb::gil_scoped_release release;
            task->wait();
        } catch (...) {
            failed = true;
            throw;
        }
        return out;
    }

    ~PendingWords() {
        // Joined without the GIL: the task never needs it, but a caller
        // dropping an unfinished result should not stall other threads.
        if (task) {
            nb::gil_scoped_release release;
            task.reset();
        }
    }
};

}  // namespace

void register_pending(nb::module_& m) {
    nb::class_<PendingWords>(m, "PendingWords",
                             "Words computed on a background thread; result() waits for them.")
        .def("result", &PendingWords::result,
             "The words (a new uint32 array) once computed; raises what the kernel raised.");

    m.def(
        "start_combine",
        [](nb::object codec_obj, WordsIn a, WordsIn b, nb::handle op_h) {
            Codec& codec = nb::cast<Codec&>(codec_obj);
            const uint32_t op = low32(op_h, "op");
            const size_t na = a.shape(0), nbn = b.shape(0);
            const size_t n = broadcast_length("start_combine", na, nbn);
            auto p = std::make_unique<PendingWords>();
            uint32_t* out;
            p->out = new_array<uint32_t>(n, out);
            p->a = a;
            p->b = b;
            p->codec = codec_obj;
            kernels::View va = view_of(a, na == 1), vb = view_of(b, nbn == 1);
            p->task = std::make_unique<BackgroundTask>(
                [&codec, va, vb, out, n, op] { kernels::combine(codec, va, vb, out, n, op, false); });
            return p.release();
        },
        nb::arg("codec"), nb::arg("a"), nb::arg("b"), nb::arg("op"), nb::rv_policy::take_ownership,
        "combine_batch(codec, a, b, op) started on a background thread.");

    m.def(
        "start_update_chain",
        [](nb::object codec_obj, WordsIn w, nb::handle op_h) {
            (void)nb::cast<const Codec&>(codec_obj);
            const uint32_t op = low32(op_h, "op");
            const size_t n = w.shape(0);
            auto p = std::make_unique<PendingWords>();
            uint32_t* out;
            p->out = new_array<uint32_t>(n, out);
            p->a = w;
            kernels::View vw = view_of(w, false);
            p->task = std::make_unique<BackgroundTask>(
                [vw, out, n, op] { kernels::update_chain(vw, out, n, op); });
            return p.release();
        },
        nb::arg("codec"), nb::arg("words"), nb::arg("op"), nb::rv_policy::take_ownership,
        "update_chain_batch(codec, words, op) started on a background thread.");

    m.def(
        "start_copy",
        [](WordsIn w) {
            const size_t n = w.shape(0);
            auto p = std::make_unique<PendingWords>();
            uint32_t* out;
            p->out = new_array<uint32_t>(n, out);
            p->a = w;
            kernels::View vw = view_of(w, false);
            p->task = std::make_unique<BackgroundTask>([vw, out, n] {
                if (vw.stride == 1) {
                    std::copy(vw.data, vw.data + n, out);
                } else {
                    for (size_t i = 0; i < n; ++i) out[i] = vw[i];
                }
            });
            return p.release();
        },
        nb::arg("words"), nb::rv_policy::take_ownership,
        "A copy of a word array made on a background thread.");
}

}  // namespace morvel::bind
