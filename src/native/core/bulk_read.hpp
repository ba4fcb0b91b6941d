// Whole-store reads in one call: every node's provenance word, and the
// per-word summary that the storage backends keep (the first node of each
// distinct word, the distinct (parent word, child word, input position)
// edges).  They run on the store's public block access, so they need no
// interpreter and work on spilled blocks as on blocks held in memory.
#pragma once

#include <cstdint>
#include <vector>

#include "core/node_store.hpp"

namespace morvel::colstore {

// Open-addressing set of (uint64, uint32) keys that remembers nothing but
// membership; `insert` says whether the key was new.
class PairKeySet {
public:
    explicit PairKeySet(size_t expected = 1024) { rehash(capacity_for(expected)); }

    bool insert(uint64_t a, uint32_t b) {
        if (2 * (size_ + 1) > slots_.size()) rehash(2 * slots_.size());
        return place(a, b);
    }

    size_t size() const { return size_; }

private:
    struct Slot {
        uint64_t a;
        uint32_t b;
        uint32_t used;
    };

    static size_t capacity_for(size_t n) {
        size_t c = 16;
        while (c < 2 * n) c <<= 1;
        return c;
    }

    static uint64_t mix(uint64_t a, uint32_t b) {
        uint64_t h = a * 0x9E3779B97F4A7C15ull ^ (uint64_t(b) + 0x632BE59BD9B4E019ull);
        h ^= h >> 32;
        h *= 0xD6E8FEB86659FD93ull;
        h ^= h >> 32;
        return h;
    }

    bool place(uint64_t a, uint32_t b) {
        const size_t mask = slots_.size() - 1;
        for (size_t i = size_t(mix(a, b)) & mask;; i = (i + 1) & mask) {
            Slot &s = slots_[i];
            if (!s.used) {
                s = Slot{a, b, 1};
                ++size_;
                return true;
            }
            if (s.a == a && s.b == b) return false;
        }
    }

    void rehash(size_t capacity) {
        std::vector<Slot> old(capacity, Slot{0, 0, 0});
        old.swap(slots_);
        size_ = 0;
        for (const Slot &s : old)
            if (s.used) place(s.a, s.b);
    }

    std::vector<Slot> slots_;
    size_t size_ = 0;
};

// Every node's word in id order.
inline std::vector<uint32_t> all_words(const NodeStore &s) {
    std::vector<uint32_t> out;
    out.reserve(size_t(s.next_id() - s.first_id()));
    const size_t blocks = s.block_count();
    for (size_t b = 0; b < blocks; ++b) {
        s.with_block(b, [&](const NodeBlock &blk) {
            const uint32_t n = blk.size();
            if (!blk.spilled()) {
                const uint32_t *w = blk.words();
                out.insert(out.end(), w, w + n);
            } else {
                for (uint32_t i = 0; i < n; ++i) out.push_back(blk.word(i));
            }
        });
    }
    return out;
}

struct WordSummary {
    std::vector<int64_t> first_ids;  // first node of each distinct word, ascending
    std::vector<int64_t> edges;      // (parent word, child word, position) triples, flat
};

// The per-word summary: first occurrences in id order (nodes), then in
// (node, input position) order (edges).  An input outside the store has
// no word and gives no edge.
inline WordSummary word_summary(const NodeStore &s) {
    WordSummary out;
    const std::vector<uint32_t> words = all_words(s);
    const int64_t first = s.first_id();
    const int64_t n = int64_t(words.size());
    PairKeySet seen_words(1024), seen_edges(4096);
    for (int64_t i = 0; i < n; ++i)
        if (seen_words.insert(words[size_t(i)], 0)) out.first_ids.push_back(first + i);
    const size_t blocks = s.block_count();
    for (size_t b = 0; b < blocks; ++b) {
        s.with_block(b, [&](const NodeBlock &blk) {
            const int64_t base = blk.base() - first;
            for (uint32_t i = 0; i < blk.size() && base + i < n; ++i) {
                const uint32_t k = blk.input_count(i);
                if (k == 0) continue;
                const uint64_t child = words[size_t(base + i)];
                for (uint32_t j = 0; j < k; ++j) {
                    const int64_t parent = blk.input(i, j) - first;
                    if (parent < 0 || parent >= n) continue;
                    const uint64_t pw = words[size_t(parent)];
                    if (seen_edges.insert(pw << 32 | child, j)) {
                        out.edges.push_back(int64_t(pw));
                        out.edges.push_back(int64_t(child));
                        out.edges.push_back(int64_t(j));
                    }
                }
            }
        });
    }
    return out;
}

}  // namespace morvel::colstore
