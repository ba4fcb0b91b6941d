// One block of the columnar node store: up to 65,536 consecutive node ids
// kept as a struct of arrays.
//
// Per node: type (1 byte), flags (1 byte: protected, has metadata), interned
// operation (4), provenance word (4), interned source attributes (4), and
// its inputs in compressed offset form: a per-block offset (4) into one
// array of 32-bit input deltas (node id minus input id; an input that does
// not fit is an "escape" kept, sparse, beside the column).  Metadata is
// sparse too: (position, interned text) pairs for the nodes that have any.
//
// A block starts in memory, is sealed when full, and may then be moved to a
// file and read through a memory mapping (`spill`).  On disk the block is
// laid out by node, not by column: one 32-byte record per node holding all
// its fields and its first two inputs, then the input deltas.  A walk over
// spilled blocks so reads one page per node (7 with columns), and can ask
// for the next nodes' pages ahead (`prefetch`).  Reads go through the same
// per-node accessors either way.
#pragma once

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/spill_file.hpp"

namespace morvel::colstore {

constexpr unsigned kBlockBits = 16;
constexpr uint32_t kBlockCapacity = 1u << kBlockBits;
constexpr uint32_t kEscape = 0xFFFFFFFFu;

enum Flag : uint8_t { FLAG_PROTECTED = 1, FLAG_METADATA = 2 };

// The dense columns, in file and export order.
enum Column : int { C_TYPES = 0, C_FLAGS, C_OPS, C_WORDS, C_SRCS, C_OFFSETS, C_INPUTS, C_COUNT };

inline const char *column_name(int c) {
    static const char *names[C_COUNT] = {"types", "flags", "ops", "words", "srcs", "offsets", "inputs"};
    return names[c];
}

inline size_t column_item(int c) { return (c == C_TYPES || c == C_FLAGS) ? 1 : 4; }

// One node of a spilled block: its fields, where its input deltas start in
// the block's input array, how many there are, and the first two of them.
struct SpillRecord {
    uint8_t type, flags;
    uint16_t unused;
    uint32_t op, word, src, first, count, in0, in1;
};
static_assert(sizeof(SpillRecord) == 32, "spill records are 32 bytes");

class NodeBlock {
public:
    explicit NodeBlock(int64_t base, bool reserve = false) : base_(base) {
        if (reserve) {
            // A block that is being filled gets its fixed columns at full
            // size at once: no regrowth copies while logging.
            types_.reserve(kBlockCapacity);
            flags_.reserve(kBlockCapacity);
            ops_.reserve(kBlockCapacity);
            words_.reserve(kBlockCapacity);
            srcs_.reserve(kBlockCapacity);
            offsets_.reserve(kBlockCapacity + 1);
        }
        offsets_.push_back(0);
    }

    int64_t base() const { return base_; }
    uint32_t size() const { return count_; }
    bool full() const { return count_ == kBlockCapacity; }
    bool spilled() const { return map_.valid(); }

    // -- appending (in-memory blocks only) --------------------------------

    // Add one input of the node being built (the next id of this block);
    // call before `add_node`.
    void add_input(int64_t input) {
        const int64_t id = base_ + int64_t(count_);
        if (inputs_.size() >= kEscape) throw std::length_error("too many inputs in one node block");
        // The difference in unsigned arithmetic: any int64 input, however
        // far from the id, either fits as a delta or becomes an escape.
        const uint64_t delta = uint64_t(id) - uint64_t(input);
        if (input < id && delta < uint64_t(kEscape)) {
            inputs_.push_back(uint32_t(delta));
        } else {
            esc_slots_.push_back(uint32_t(inputs_.size()));
            esc_ids_.push_back(input);
            inputs_.push_back(kEscape);
        }
    }

    // Close the node whose inputs were just added.
    void add_node(uint8_t type, uint8_t flags, uint32_t op, uint32_t word, uint32_t src) {
        types_.push_back(type);
        flags_.push_back(flags);
        ops_.push_back(op);
        words_.push_back(word);
        srcs_.push_back(src);
        offsets_.push_back(uint32_t(inputs_.size()));
        ++count_;
    }

    // Undo the inputs added for a node that will not be closed.
    void drop_open_inputs() {
        const uint32_t keep = offsets_.back();
        while (!esc_slots_.empty() && esc_slots_.back() >= keep) {
            esc_slots_.pop_back();
            esc_ids_.pop_back();
        }
        inputs_.resize(keep);
    }

    // Metadata text id for the node just added (positions ascend).
    void set_metadata(uint32_t local, uint32_t text) {
        meta_pos_.push_back(local);
        meta_text_.push_back(text);
    }

    // Give back spare capacity once the block is full.
    void seal() {
        types_.shrink_to_fit();
        flags_.shrink_to_fit();
        ops_.shrink_to_fit();
        words_.shrink_to_fit();
        srcs_.shrink_to_fit();
        offsets_.shrink_to_fit();
        inputs_.shrink_to_fit();
        esc_slots_.shrink_to_fit();
        esc_ids_.shrink_to_fit();
        meta_pos_.shrink_to_fit();
        meta_text_.shrink_to_fit();
    }

    // -- reading ------------------------------------------------------------

    uint8_t type(uint32_t i) const { return spilled() ? rec(i).type : types_[i]; }
    uint8_t flag(uint32_t i) const { return spilled() ? rec(i).flags : flags_[i]; }
    uint32_t op(uint32_t i) const { return spilled() ? rec(i).op : ops_[i]; }
    uint32_t word(uint32_t i) const { return spilled() ? rec(i).word : words_[i]; }
    uint32_t src(uint32_t i) const { return spilled() ? rec(i).src : srcs_[i]; }
    uint32_t input_total() const { return spilled() ? spilled_inputs_ : offsets_[count_]; }

    uint32_t input_count(uint32_t i) const {
        return spilled() ? rec(i).count : offsets_[i + 1] - offsets_[i];
    }

    int64_t input(uint32_t i, uint32_t j) const {
        uint32_t slot, d;
        if (spilled()) {
            const SpillRecord &r = rec(i);
            slot = r.first + j;
            d = j == 0 ? r.in0 : j == 1 ? r.in1 : spilled_deltas()[slot];
        } else {
            slot = offsets_[i] + j;
            d = inputs_[slot];
        }
        if (d != kEscape) return int64_t(uint64_t(base_) + i - d);
        auto it = std::lower_bound(esc_slots_.begin(), esc_slots_.end(), slot);
        if (it == esc_slots_.end() || *it != slot) throw std::logic_error("escaped input without its id");
        return esc_ids_[size_t(it - esc_slots_.begin())];
    }

    // Ask the kernel to start reading node i's page(s) of a spilled block.
    void prefetch(uint32_t i) const {
        if (!spilled()) return;
        const SpillRecord &r = rec(i);
        advise_willneed(&r, sizeof(r));
        if (r.count > 2) advise_willneed(spilled_deltas() + r.first + 2, 4 * size_t(r.count - 2));
    }

    // The words column of an in-memory block (the open block or one being
    // sealed).
    const uint32_t *words() const {
        if (spilled()) throw std::logic_error("a spilled block has no word column");
        return words_.data();
    }

    // Metadata text id of position i, or false.
    bool metadata(uint32_t i, uint32_t &text) const {
        if (!(flag(i) & FLAG_METADATA)) return false;
        auto it = std::lower_bound(meta_pos_.begin(), meta_pos_.end(), i);
        if (it == meta_pos_.end() || *it != i) return false;
        text = meta_text_[size_t(it - meta_pos_.begin())];
        return true;
    }

    // Dense column c as raw bytes (a copy; rebuilt from the records when
    // the block is spilled).
    std::string column(int c) const {
        const size_t item = column_item(c);
        size_t n = count_;
        if (c == C_OFFSETS) n = size_t(count_) + 1;
        if (c == C_INPUTS) n = input_total();
        std::string out(n * item, '\0');
        if (n == 0) return out;
        if (!spilled()) {
            const void *p = nullptr;
            switch (c) {
                case C_TYPES: p = types_.data(); break;
                case C_FLAGS: p = flags_.data(); break;
                case C_OPS: p = ops_.data(); break;
                case C_WORDS: p = words_.data(); break;
                case C_SRCS: p = srcs_.data(); break;
                case C_OFFSETS: p = offsets_.data(); break;
                default: p = inputs_.data(); break;
            }
            std::memcpy(&out[0], p, out.size());
            return out;
        }
        if (c == C_INPUTS) {
            std::memcpy(&out[0], spilled_deltas(), out.size());
            return out;
        }
        for (uint32_t i = 0; i < n; ++i) {
            uint32_t v;
            if (c == C_OFFSETS) {
                v = i < count_ ? rec(i).first : spilled_inputs_;
            } else {
                const SpillRecord &r = rec(i);
                v = c == C_TYPES ? r.type : c == C_FLAGS ? r.flags : c == C_OPS ? r.op : c == C_WORDS ? r.word : r.src;
            }
            if (item == 1) {
                out[i] = char(uint8_t(v));
            } else {
                std::memcpy(&out[4 * size_t(i)], &v, 4);
            }
        }
        return out;
    }

    // Every dense column as raw bytes, in column order, in one pass.  A
    // spilled block asks for its whole file at once and is read record by
    // record a single time, instead of once per column page by page.
    std::vector<std::string> columns() const {
        std::vector<std::string> out;
        if (!spilled() || count_ == 0) {
            for (int c = 0; c < C_COUNT; ++c) out.push_back(column(c));
            return out;
        }
        advise_willneed(map_.data(), map_.bytes());
        const size_t n = count_;
        std::string types(n, '\0'), flags(n, '\0'), ops(4 * n, '\0'), words(4 * n, '\0'), srcs(4 * n, '\0'),
            offsets(4 * (n + 1), '\0');
        for (uint32_t i = 0; i < count_; ++i) {
            const SpillRecord &r = rec(i);
            types[i] = char(r.type);
            flags[i] = char(r.flags);
            std::memcpy(&ops[4 * size_t(i)], &r.op, 4);
            std::memcpy(&words[4 * size_t(i)], &r.word, 4);
            std::memcpy(&srcs[4 * size_t(i)], &r.src, 4);
            std::memcpy(&offsets[4 * size_t(i)], &r.first, 4);
        }
        std::memcpy(&offsets[4 * n], &spilled_inputs_, 4);
        out.push_back(std::move(types));
        out.push_back(std::move(flags));
        out.push_back(std::move(ops));
        out.push_back(std::move(words));
        out.push_back(std::move(srcs));
        out.push_back(std::move(offsets));
        out.push_back(column(C_INPUTS));
        return out;
    }

    const std::vector<uint32_t> &escape_slots() const { return esc_slots_; }
    const std::vector<int64_t> &escape_ids() const { return esc_ids_; }
    const std::vector<uint32_t> &metadata_positions() const { return meta_pos_; }
    const std::vector<uint32_t> &metadata_texts() const { return meta_text_; }

    // Heap bytes of the dense columns (0 once spilled) and of the sparse
    // side arrays (always in memory).
    size_t column_bytes() const {
        if (spilled()) return 0;
        return types_.capacity() + flags_.capacity() +
               4 * (ops_.capacity() + words_.capacity() + srcs_.capacity() + offsets_.capacity() +
                    inputs_.capacity());
    }
    size_t side_bytes() const {
        return 12 * esc_slots_.capacity() + 8 * meta_pos_.capacity() + sizeof(*this);
    }
    size_t disk_bytes() const { return map_.bytes(); }

    // -- spilling -------------------------------------------------------------

    // Write the block to `path` by node (records, then input deltas), map
    // it and free the in-memory columns.  On failure the block stays as it
    // was and the error is thrown.
    void spill(const std::string &path) {
        if (spilled()) return;
        std::vector<SpillRecord> recs(count_);
        for (uint32_t i = 0; i < count_; ++i) {
            SpillRecord &r = recs[i];
            r.type = types_[i];
            r.flags = flags_[i];
            r.unused = 0;
            r.op = ops_[i];
            r.word = words_[i];
            r.src = srcs_[i];
            r.first = offsets_[i];
            r.count = offsets_[i + 1] - offsets_[i];
            r.in0 = r.count > 0 ? inputs_[r.first] : 0;
            r.in1 = r.count > 1 ? inputs_[r.first + 1] : 0;
        }
        std::vector<size_t> offsets;
        MappedFile m = MappedFile::write(
            path, {Part{recs.data(), recs.size() * sizeof(SpillRecord)}, Part{inputs_.data(), 4 * inputs_.size()}},
            offsets);
        deltas_off_ = offsets[1];
        spilled_inputs_ = uint32_t(inputs_.size());
        map_ = std::move(m);
        std::vector<uint8_t>().swap(types_);
        std::vector<uint8_t>().swap(flags_);
        std::vector<uint32_t>().swap(ops_);
        std::vector<uint32_t>().swap(words_);
        std::vector<uint32_t>().swap(srcs_);
        std::vector<uint32_t>().swap(offsets_);
        std::vector<uint32_t>().swap(inputs_);
    }

    void drop_cache() const { map_.drop_cache(); }

    // -- rebuilding from exported columns -----------------------------------

    // A block of `count` nodes from its dense columns (raw bytes, in column
    // order) and sparse side arrays.  Every length and offset is checked:
    // the bytes may come from a file.
    static NodeBlock from_columns(int64_t base, uint32_t count, const std::vector<Part> &cols,
                                  std::vector<uint32_t> esc_slots, std::vector<int64_t> esc_ids,
                                  std::vector<uint32_t> meta_pos, std::vector<uint32_t> meta_text) {
        if (count > kBlockCapacity) throw std::invalid_argument("block holds too many nodes");
        if (cols.size() != size_t(C_COUNT)) throw std::invalid_argument("block needs 7 columns");
        NodeBlock b(base);
        auto expect = [&](int c, size_t n) {
            if (cols[size_t(c)].bytes != n * column_item(c))
                throw std::invalid_argument(std::string("block column ") + column_name(c) + " has the wrong length");
        };
        auto copy = [&](int c, auto &vec, size_t n) {
            expect(c, n);
            using T = typename std::decay_t<decltype(vec)>::value_type;
            vec.resize(n);
            if (n) std::memcpy(vec.data(), cols[size_t(c)].data, n * sizeof(T));
        };
        copy(C_TYPES, b.types_, count);
        copy(C_FLAGS, b.flags_, count);
        copy(C_OPS, b.ops_, count);
        copy(C_WORDS, b.words_, count);
        copy(C_SRCS, b.srcs_, count);
        copy(C_OFFSETS, b.offsets_, size_t(count) + 1);
        if (b.offsets_[0] != 0) throw std::invalid_argument("block offsets must start at 0");
        for (uint32_t i = 0; i < count; ++i)
            if (b.offsets_[i + 1] < b.offsets_[i]) throw std::invalid_argument("block offsets must not decrease");
        copy(C_INPUTS, b.inputs_, b.offsets_[count]);
        if (esc_slots.size() != esc_ids.size() || meta_pos.size() != meta_text.size())
            throw std::invalid_argument("sparse block arrays differ in length");
        size_t n_escapes = 0;
        for (uint32_t d : b.inputs_) n_escapes += d == kEscape;
        if (n_escapes != esc_slots.size()) throw std::invalid_argument("escaped inputs and their ids differ in number");
        for (size_t k = 0; k < esc_slots.size(); ++k) {
            if ((k && esc_slots[k] <= esc_slots[k - 1]) || esc_slots[k] >= b.inputs_.size() ||
                b.inputs_[esc_slots[k]] != kEscape)
                throw std::invalid_argument("escaped input slots are not consistent");
        }
        for (size_t k = 0; k < meta_pos.size(); ++k) {
            if ((k && meta_pos[k] <= meta_pos[k - 1]) || meta_pos[k] >= count)
                throw std::invalid_argument("metadata positions are not consistent");
        }
        b.esc_slots_ = std::move(esc_slots);
        b.esc_ids_ = std::move(esc_ids);
        b.meta_pos_ = std::move(meta_pos);
        b.meta_text_ = std::move(meta_text);
        b.count_ = count;
        return b;
    }

private:
    const SpillRecord &rec(uint32_t i) const { return reinterpret_cast<const SpillRecord *>(map_.data())[i]; }
    const uint32_t *spilled_deltas() const { return reinterpret_cast<const uint32_t *>(map_.data() + deltas_off_); }

    static void advise_willneed(const void *p, size_t n) {
        const uintptr_t page = uintptr_t(::sysconf(_SC_PAGESIZE));
        const uintptr_t lo = uintptr_t(p) & ~(page - 1);
        const uintptr_t hi = uintptr_t(p) + n;
        ::madvise(reinterpret_cast<void *>(lo), hi - lo, MADV_WILLNEED);
    }

    int64_t base_;
    uint32_t count_ = 0;
    std::vector<uint8_t> types_, flags_;
    std::vector<uint32_t> ops_, words_, srcs_, offsets_, inputs_;
    std::vector<uint32_t> esc_slots_;
    std::vector<int64_t> esc_ids_;
    std::vector<uint32_t> meta_pos_, meta_text_;
    MappedFile map_;
    size_t deltas_off_ = 0;
    uint32_t spilled_inputs_ = 0;
};

}  // namespace morvel::colstore
