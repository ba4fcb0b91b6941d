// Interned texts: each distinct string gets a dense id in first-use order.
//
// The node store keeps operation names, table and column names and node
// metadata texts once each and refers to them by id from its columns.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

namespace morvel::colstore {

class Interner {
public:
    // Id of `text`, adding it when new.
    uint32_t intern(const std::string &text) {
        auto it = ids_.find(text);
        if (it != ids_.end()) return it->second;
        if (texts_.size() >= UINT32_MAX) throw std::length_error("too many distinct texts");
        const auto id = static_cast<uint32_t>(texts_.size());
        texts_.push_back(text);
        ids_.emplace(text, id);
        bytes_ += 2 * text.size() + 64;  // both copies and the map entry, roughly
        return id;
    }

    // Id of `text` when known.
    bool find(const std::string &text, uint32_t &id) const {
        auto it = ids_.find(text);
        if (it == ids_.end()) return false;
        id = it->second;
        return true;
    }

    const std::string &text(uint32_t id) const {
        if (id >= texts_.size()) throw std::out_of_range("unknown text id");
        return texts_[id];
    }

    size_t size() const { return texts_.size(); }
    const std::vector<std::string> &texts() const { return texts_; }
    // Approximate heap bytes held.
    size_t bytes() const { return bytes_; }

private:
    std::unordered_map<std::string, uint32_t> ids_;
    std::vector<std::string> texts_;
    size_t bytes_ = 0;
};

}  // namespace morvel::colstore
