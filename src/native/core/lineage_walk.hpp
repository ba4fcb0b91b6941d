// Breadth-first walk from one node towards its sources.
//
// Visits nodes in the order of the lineage layer's graph reconstruction:
// the root first, then inputs in input order, each node once; one edge per
// (node, input position), also towards an input the store does not hold.
// Ids the walk reaches but the store does not hold are listed, not raised.
#pragma once

#include <cstdint>
#include <deque>
#include <unordered_set>
#include <vector>

namespace morvel::colstore {

// One node record as the walk copies it out of the store.
struct NodeRecord {
    int64_t id = 0;
    uint8_t type = 0;
    uint8_t flags = 0;
    uint32_t op = 0;
    uint32_t word = 0;
    uint32_t src = 0;
    std::vector<int64_t> inputs;
};

// The walk's result: nodes in visit order with their inputs in offset form.
struct Lineage {
    std::vector<int64_t> ids;
    std::vector<uint8_t> types, flags;
    std::vector<uint32_t> ops, words, srcs;
    std::vector<int64_t> offsets{0};
    std::vector<int64_t> inputs;
    std::vector<int64_t> missing;  // reached but not held, in reach order
};

// `Store` provides `bool read(int64_t id, NodeRecord &out) const` and
// `void prefetch(int64_t id) const` (a hint: the node will be read soon).
template <class Store>
Lineage walk_lineage(const Store &store, int64_t root) {
    Lineage out;
    std::unordered_set<int64_t> visited;
    std::deque<int64_t> queue{root};
    NodeRecord rec;
    while (!queue.empty()) {
        const int64_t nid = queue.front();
        queue.pop_front();
        if (!visited.insert(nid).second) continue;
        if (!store.read(nid, rec)) {
            out.missing.push_back(nid);
            continue;
        }
        out.ids.push_back(nid);
        out.types.push_back(rec.type);
        out.flags.push_back(rec.flags);
        out.ops.push_back(rec.op);
        out.words.push_back(rec.word);
        out.srcs.push_back(rec.src);
        for (int64_t in : rec.inputs) {
            out.inputs.push_back(in);
            if (!visited.count(in)) {
                store.prefetch(in);
                queue.push_back(in);
            }
        }
        out.offsets.push_back(int64_t(out.inputs.size()));
    }
    return out;
}

}  // namespace morvel::colstore
