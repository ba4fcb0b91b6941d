// Provenance-word index of one sealed node block.
//
// The block's words sorted (ties in position order) beside the positions
// they came from: 6 bytes per node, kept in memory also when the block's
// columns are on disk, so a lookup never pages a block in.  A lookup is one
// binary search per block.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace morvel::colstore {

class BlockWordIndex {
public:
    BlockWordIndex() = default;

    // Index the n words (n <= 65,536).
    BlockWordIndex(const uint32_t *words, uint32_t n) : words_(n), pos_(n) {
        // Two stable counting-sort passes over 16-bit digits (low, then
        // high): linear time, and equal words keep their position order.
        std::vector<uint16_t> tmp(n);
        std::vector<uint32_t> count(65537);
        for (uint32_t i = 0; i < n; ++i) ++count[(words[i] & 0xFFFFu) + 1];
        for (size_t d = 1; d < count.size(); ++d) count[d] += count[d - 1];
        for (uint32_t i = 0; i < n; ++i) tmp[count[words[i] & 0xFFFFu]++] = uint16_t(i);
        std::fill(count.begin(), count.end(), 0u);
        for (uint32_t i = 0; i < n; ++i) ++count[(words[i] >> 16) + 1];
        for (size_t d = 1; d < count.size(); ++d) count[d] += count[d - 1];
        for (uint32_t k = 0; k < n; ++k) {
            const uint16_t i = tmp[k];
            pos_[count[words[i] >> 16]++] = i;
        }
        for (uint32_t k = 0; k < n; ++k) words_[k] = words[pos_[k]];
        if (n) {
            lo_ = words_.front();
            hi_ = words_.back();
        }
    }

    // Append base + position of every node holding `word`, in position order.
    void find(uint32_t word, int64_t base, std::vector<int64_t> &out) const {
        if (words_.empty() || word < lo_ || word > hi_) return;
        auto range = std::equal_range(words_.begin(), words_.end(), word);
        for (auto it = range.first; it != range.second; ++it)
            out.push_back(base + int64_t(pos_[size_t(it - words_.begin())]));
    }

    // The sorted words (for counting distinct words).
    const std::vector<uint32_t> &sorted_words() const { return words_; }

    size_t bytes() const { return 4 * words_.capacity() + 2 * pos_.capacity() + sizeof(*this); }

private:
    std::vector<uint32_t> words_;
    std::vector<uint16_t> pos_;
    uint32_t lo_ = 0, hi_ = 0;
};

}  // namespace morvel::colstore
