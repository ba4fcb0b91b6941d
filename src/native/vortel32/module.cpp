// morvel._vortel32: the native VORTEL-32 codec.
#include "common.hpp"

NB_MODULE(_vortel32, m) {
    m.doc() = "Native VORTEL-32 provenance codec: word packing, dense registry, batch kernels.";
    morvel::bind::register_codec(m);
    morvel::bind::register_kernels(m);
    morvel::bind::register_entity(m);
    morvel::bind::register_reduce(m);
    morvel::bind::register_pending(m);
}
