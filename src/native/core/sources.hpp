// Source columns of the node store.
//
// `SourceAttrs` interns the (table, column, pair id) triple a node carries,
// so that the per-node column holds one 32-bit id (0: none of the three).
// `SourceIndex` maps an interned (table, column) to the id of its SOURCE
// node, which is how a source column gets exactly one node.
#pragma once

#include <cstdint>
#include <map>
#include <stdexcept>
#include <tuple>
#include <utility>
#include <vector>

namespace morvel::colstore {

// Text id -1 and `kNoPair` stand for "none".
constexpr int64_t kNoPair = INT64_MIN;

struct SourceAttr {
    int64_t table = -1;   // text id or -1
    int64_t column = -1;  // text id or -1
    int64_t pair = kNoPair;
    bool operator<(const SourceAttr &o) const {
        return std::tie(table, column, pair) < std::tie(o.table, o.column, o.pair);
    }
};

class SourceAttrs {
public:
    SourceAttrs() { attrs_.push_back(SourceAttr{}); ids_.emplace(SourceAttr{}, 0u); }

    uint32_t intern(const SourceAttr &a) {
        auto it = ids_.find(a);
        if (it != ids_.end()) return it->second;
        if (attrs_.size() >= UINT32_MAX) throw std::length_error("too many distinct source attributes");
        const auto id = static_cast<uint32_t>(attrs_.size());
        attrs_.push_back(a);
        ids_.emplace(a, id);
        return id;
    }

    const SourceAttr &get(uint32_t id) const {
        if (id >= attrs_.size()) throw std::out_of_range("unknown source attribute id");
        return attrs_[id];
    }

    size_t size() const { return attrs_.size(); }
    const std::vector<SourceAttr> &all() const { return attrs_; }
    size_t bytes() const { return attrs_.size() * (sizeof(SourceAttr) * 2 + 48); }

private:
    std::vector<SourceAttr> attrs_;
    std::map<SourceAttr, uint32_t> ids_;
};

class SourceIndex {
public:
    using Key = std::pair<uint32_t, uint32_t>;  // table and column text ids

    bool find(const Key &k, int64_t &node) const {
        auto it = nodes_.find(k);
        if (it == nodes_.end()) return false;
        node = it->second;
        return true;
    }
    void set(const Key &k, int64_t node) { nodes_[k] = node; }
    void clear() { nodes_.clear(); }
    const std::map<Key, int64_t> &all() const { return nodes_; }
    size_t size() const { return nodes_.size(); }

private:
    std::map<Key, int64_t> nodes_;
};

}  // namespace morvel::colstore
