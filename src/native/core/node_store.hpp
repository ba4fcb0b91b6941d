// Columnar store of lineage nodes.
//
// Nodes get consecutive ids from `first_id`; every 65,536 ids form one
// `NodeBlock`.  A full block is sealed and indexed by provenance word
// (`BlockWordIndex`); the SOURCE node of each (table, column) is kept in a
// `SourceIndex`.  Beyond the memory budget the oldest sealed blocks are
// moved to files in the spill directory and read back through memory
// mappings when a walk needs them, so every node ever logged stays
// readable.  All methods lock the store; none calls into Python, so the
// bindings run them without the interpreter lock.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/interner.hpp"
#include "core/lineage_walk.hpp"
#include "core/node_block.hpp"
#include "core/sources.hpp"
#include "core/word_index.hpp"

namespace morvel::colstore {

// Node types, numbered as the lineage layer's NodeType members.
constexpr uint8_t kTypeSource = 1;
constexpr uint8_t kTypeMax = 8;

inline bool word_tainted(uint32_t w) { return ((w >> 29) & 1u) != 0; }

struct StoreStats {
    int64_t total_nodes = 0;
    int64_t source_nodes = 0;
    int64_t protected_nodes = 0;
    std::vector<std::pair<uint32_t, int64_t>> operation_counts;  // non-source, first-use order
    size_t blocks = 0;
    size_t spilled_blocks = 0;
    size_t column_bytes = 0;  // dense columns held in memory
    size_t index_bytes = 0;   // word index (always in memory)
    size_t other_bytes = 0;   // sparse arrays, texts, block records
    size_t disk_bytes = 0;    // spill files
    size_t memory_budget = 0;
    std::string spill_error;  // last failure to spill, empty when none
};

class NodeStore {
public:
    NodeStore(int64_t first_id, size_t memory_budget, std::string spill_dir)
        : first_id_(first_id), next_id_(first_id), budget_(memory_budget), spill_dir_(std::move(spill_dir)) {
        if (first_id < 0) throw std::invalid_argument("first_id must not be negative");
    }

    ~NodeStore() {
        blocks_.clear();  // unmaps and deletes the spill files
        if (made_dir_) ::rmdir(spill_dir_.c_str());
    }

    NodeStore(const NodeStore &) = delete;
    NodeStore &operator=(const NodeStore &) = delete;

    // -- texts and source attributes ---------------------------------------

    uint32_t intern(const std::string &text) {
        std::lock_guard<std::mutex> g(mu_);
        return texts_.intern(text);
    }

    std::string text(uint32_t id) const {
        std::lock_guard<std::mutex> g(mu_);
        return texts_.text(id);
    }

    size_t text_count() const {
        std::lock_guard<std::mutex> g(mu_);
        return texts_.size();
    }

    // Attribute id of (table, column, pair); text ids or -1, pair or kNoPair.
    uint32_t source_attr(int64_t table, int64_t column, int64_t pair) {
        std::lock_guard<std::mutex> g(mu_);
        check_text(table, true);
        check_text(column, true);
        return attrs_.intern(SourceAttr{table, column, pair});
    }

    SourceAttr attr(uint32_t id) const {
        std::lock_guard<std::mutex> g(mu_);
        return attrs_.get(id);
    }

    size_t attr_count() const {
        std::lock_guard<std::mutex> g(mu_);
        return attrs_.size();
    }

    // -- logging ------------------------------------------------------------

    // One node per position i whose k aligned inputs inputs[0][i] ...
    // inputs[k-1][i] are all >= 0 (inputs in that order); out[i] receives
    // the new id or -1.  `meta` is a metadata text id for every new node,
    // or -1.
    void log_aligned(uint8_t type, uint32_t op, uint32_t src, bool prot, int64_t meta, const uint32_t *words,
                     const std::vector<const int64_t *> &inputs, size_t n, int64_t *out) {
        std::lock_guard<std::mutex> g(mu_);
        check_node_args(type, op, src, meta);
        Tally tally{*this, type, op};
        for (size_t i = 0; i < n; ++i) {
            bool ok = true;
            for (const int64_t *col : inputs) ok = ok && col[i] >= 0;
            if (!ok) {
                out[i] = -1;
                continue;
            }
            NodeBlock &b = active();
            try {
                for (const int64_t *col : inputs) b.add_input(col[i]);
            } catch (...) {
                b.drop_open_inputs();
                throw;
            }
            out[i] = append(tally, b, type, op, words[i], src, prot, meta);
        }
        maybe_spill();
    }

    // One node per position i with the inputs flat[offsets[i] .. offsets[i+1])
    // (any ids, in that order); out[i] receives the new id.
    void log_csr(uint8_t type, uint32_t op, uint32_t src, bool prot, int64_t meta, const uint32_t *words,
                 const int64_t *offsets, const int64_t *flat, size_t flat_len, size_t n, int64_t *out) {
        std::lock_guard<std::mutex> g(mu_);
        check_node_args(type, op, src, meta);
        for (size_t i = 0; i < n; ++i) {
            if (offsets[i] < 0 || offsets[i] > offsets[i + 1] || uint64_t(offsets[i + 1]) > flat_len)
                throw std::invalid_argument("input offsets must be non-decreasing and within the input ids");
        }
        Tally tally{*this, type, op};
        for (size_t i = 0; i < n; ++i) {
            NodeBlock &b = active();
            try {
                for (int64_t j = offsets[i]; j < offsets[i + 1]; ++j) b.add_input(flat[j]);
            } catch (...) {
                b.drop_open_inputs();
                throw;
            }
            out[i] = append(tally, b, type, op, words[i], src, prot, meta);
        }
        maybe_spill();
    }

    // Id of the SOURCE node of (table, column), created on first use with
    // `word`, `pair` and `prot`; later calls return the same id.
    int64_t add_source(uint32_t table, uint32_t column, uint32_t word, int64_t pair, bool prot) {
        std::lock_guard<std::mutex> g(mu_);
        check_text(table, false);
        check_text(column, false);
        int64_t found;
        if (sources_.find({table, column}, found)) return found;
        const uint32_t op = texts_.intern(texts_.text(table) + "." + texts_.text(column));
        const uint32_t src = attrs_.intern(SourceAttr{table, column, pair});
        int64_t id;
        {
            Tally tally{*this, kTypeSource, op};
            id = append(tally, active(), kTypeSource, op, word, src, prot, -1);
        }
        sources_.set({table, column}, id);
        maybe_spill();
        return id;
    }

    bool find_source(uint32_t table, uint32_t column, int64_t &id) const {
        std::lock_guard<std::mutex> g(mu_);
        return sources_.find({table, column}, id);
    }

    void set_source(uint32_t table, uint32_t column, int64_t id) {
        std::lock_guard<std::mutex> g(mu_);
        check_text(table, false);
        check_text(column, false);
        if (!holds(id)) throw std::invalid_argument("source node id is not held by the store");
        sources_.set({table, column}, id);
    }

    // Forget which node stands for each source column (the nodes stay): the
    // next `add_source` of a column creates a fresh node.
    void clear_sources() {
        std::lock_guard<std::mutex> g(mu_);
        sources_.clear();
    }

    std::vector<std::pair<SourceIndex::Key, int64_t>> sources() const {
        std::lock_guard<std::mutex> g(mu_);
        return {sources_.all().begin(), sources_.all().end()};
    }

    // -- reading ------------------------------------------------------------

    int64_t first_id() const { return first_id_; }

    int64_t next_id() const {
        std::lock_guard<std::mutex> g(mu_);
        return next_id_;
    }

    int64_t size() const {
        std::lock_guard<std::mutex> g(mu_);
        return next_id_ - first_id_;
    }

    // Copy node `id` into `rec`; false when the store does not hold it.
    // Called with the lock held (walks) or through `get`.
    bool read(int64_t id, NodeRecord &rec) const {
        if (!holds(id)) return false;
        const uint64_t off = uint64_t(id - first_id_);
        const NodeBlock &b = *blocks_[size_t(off >> kBlockBits)];
        const uint32_t i = uint32_t(off & (kBlockCapacity - 1));
        rec.id = id;
        rec.type = b.type(i);
        rec.flags = b.flag(i);
        rec.op = b.op(i);
        rec.word = b.word(i);
        rec.src = b.src(i);
        const uint32_t k = b.input_count(i);
        rec.inputs.resize(k);
        for (uint32_t j = 0; j < k; ++j) rec.inputs[j] = b.input(i, j);
        return true;
    }

    // Start reading node `id`'s page when its block is on disk (walks call
    // this for every node they queue, so a level's pages load together).
    void prefetch(int64_t id) const {
        if (!holds(id)) return;
        const uint64_t off = uint64_t(id - first_id_);
        blocks_[size_t(off >> kBlockBits)]->prefetch(uint32_t(off & (kBlockCapacity - 1)));
    }

    bool get(int64_t id, NodeRecord &rec) const {
        std::lock_guard<std::mutex> g(mu_);
        return read(id, rec);
    }

    // Metadata text id of node `id`, or false.
    bool metadata(int64_t id, uint32_t &text) const {
        std::lock_guard<std::mutex> g(mu_);
        if (!holds(id)) return false;
        const uint64_t off = uint64_t(id - first_id_);
        return blocks_[size_t(off >> kBlockBits)]->metadata(uint32_t(off & (kBlockCapacity - 1)), text);
    }

    Lineage lineage(int64_t root) const {
        std::lock_guard<std::mutex> g(mu_);
        return walk_lineage(*this, root);
    }

    // Ids of the nodes holding `word`, in creation order.
    std::vector<int64_t> nodes_for_word(uint32_t word) const {
        std::lock_guard<std::mutex> g(mu_);
        std::vector<int64_t> out;
        for (size_t b = 0; b < blocks_.size(); ++b) {
            if (b < indexes_.size()) {
                indexes_[b].find(word, blocks_[b]->base(), out);
            } else {
                const NodeBlock &blk = *blocks_[b];
                const uint32_t *w = blk.words();
                for (uint32_t i = 0; i < blk.size(); ++i)
                    if (w[i] == word) out.push_back(blk.base() + int64_t(i));
            }
        }
        return out;
    }

    // Number of distinct provenance words held.
    size_t unique_words() const {
        std::lock_guard<std::mutex> g(mu_);
        std::vector<uint32_t> all;
        all.reserve(size_t(next_id_ - first_id_));
        for (size_t b = 0; b < blocks_.size(); ++b) {
            if (b < indexes_.size()) {
                const auto &w = indexes_[b].sorted_words();
                all.insert(all.end(), w.begin(), w.end());
            } else {
                const uint32_t *w = blocks_[b]->words();
                all.insert(all.end(), w, w + blocks_[b]->size());
            }
        }
        std::sort(all.begin(), all.end());
        return size_t(std::unique(all.begin(), all.end()) - all.begin());
    }

    StoreStats stats() const {
        std::lock_guard<std::mutex> g(mu_);
        StoreStats s;
        s.total_nodes = next_id_ - first_id_;
        s.source_nodes = n_sources_;
        s.protected_nodes = n_protected_;
        for (uint32_t op : op_order_) s.operation_counts.emplace_back(op, op_counts_.at(op));
        s.blocks = blocks_.size();
        for (const auto &b : blocks_) {
            s.spilled_blocks += b->spilled();
            s.column_bytes += b->column_bytes();
            s.other_bytes += b->side_bytes();
            s.disk_bytes += b->disk_bytes();
        }
        for (const auto &ix : indexes_) s.index_bytes += ix.bytes();
        s.other_bytes += texts_.bytes() + attrs_.bytes() + 8 * blocks_.capacity() +
                         sizeof(BlockWordIndex) * indexes_.capacity() + op_counts_.size() * 48;
        s.memory_budget = budget_;
        s.spill_error = spill_error_;
        return s;
    }

    // -- memory budget --------------------------------------------------------

    void set_budget(size_t bytes) {
        std::lock_guard<std::mutex> g(mu_);
        budget_ = bytes;
        maybe_spill();
    }

    // Move every sealed block to disk (errors are thrown here).
    void spill_all() {
        std::lock_guard<std::mutex> g(mu_);
        for (size_t b = 0; b < indexes_.size(); ++b) spill_block(b);
    }

    // Drop the spilled blocks' pages from memory and from the page cache.
    void drop_cache() const {
        std::lock_guard<std::mutex> g(mu_);
        for (const auto &b : blocks_) b->drop_cache();
    }

    // -- export and import ----------------------------------------------------

    // Callers hold no reference across other calls: blocks are read while
    // locked through `with_block`.
    size_t block_count() const {
        std::lock_guard<std::mutex> g(mu_);
        return blocks_.size();
    }

    template <class F>
    void with_block(size_t b, F &&f) const {
        std::lock_guard<std::mutex> g(mu_);
        if (b >= blocks_.size()) throw std::out_of_range("block number out of range");
        f(*blocks_[b]);
    }

    // Append a block exported by `with_block` (blocks in order; texts and
    // source attributes imported first).  Every value is checked.
    void import_block(NodeBlock block) {
        std::lock_guard<std::mutex> g(mu_);
        const int64_t base = first_id_ + int64_t(blocks_.size()) * int64_t(kBlockCapacity);
        if (block.base() != base) throw std::invalid_argument("blocks must be imported in order");
        if (!blocks_.empty() && !blocks_.back()->full())
            throw std::invalid_argument("only the last block may be partly filled");
        if (block.size() == 0) throw std::invalid_argument("an imported block must hold nodes");
        for (uint32_t i = 0; i < block.size(); ++i) {
            if (block.type(i) < 1 || block.type(i) > kTypeMax) throw std::invalid_argument("node type out of range");
            if (block.op(i) >= texts_.size()) throw std::invalid_argument("operation text id out of range");
            if (block.src(i) >= attrs_.size()) throw std::invalid_argument("source attribute id out of range");
        }
        for (uint32_t t : block.metadata_texts())
            if (t >= texts_.size()) throw std::invalid_argument("metadata text id out of range");
        for (uint32_t i = 0; i < block.size(); ++i)
            count(block.type(i), block.op(i), 1, block.flag(i) & FLAG_PROTECTED);
        next_id_ = base + int64_t(block.size());
        blocks_.push_back(std::make_unique<NodeBlock>(std::move(block)));
        if (blocks_.back()->full()) seal_last();
        maybe_spill();
    }

private:
    bool holds(int64_t id) const { return id >= first_id_ && id < next_id_; }

    void check_text(int64_t id, bool allow_none) const {
        if (allow_none && id == -1) return;
        if (id < 0 || uint64_t(id) >= texts_.size()) throw std::invalid_argument("unknown text id");
    }

    void check_node_args(uint8_t type, uint32_t op, uint32_t src, int64_t meta) const {
        if (type < 1 || type > kTypeMax) throw std::invalid_argument("node type out of range");
        check_text(op, false);
        if (src >= attrs_.size()) throw std::invalid_argument("unknown source attribute id");
        check_text(meta, true);
    }

    NodeBlock &active() {
        if (blocks_.empty() || blocks_.back()->full()) {
            const int64_t base = first_id_ + int64_t(blocks_.size()) * int64_t(kBlockCapacity);
            blocks_.push_back(std::make_unique<NodeBlock>(base, true));
        }
        return *blocks_.back();
    }

    // Count k new nodes of one type and operation (of which `prot` protected).
    void count(uint8_t type, uint32_t op, int64_t k, int64_t prot) {
        n_protected_ += prot;
        if (k == 0) return;
        if (type == kTypeSource) {
            n_sources_ += k;
            return;
        }
        auto it = op_counts_.find(op);
        if (it == op_counts_.end()) {
            op_counts_.emplace(op, k);
            op_order_.push_back(op);
        } else {
            it->second += k;
        }
    }

    // Counts the nodes of one logging call, also when the call stops early.
    struct Tally {
        NodeStore &s;
        uint8_t type;
        uint32_t op;
        int64_t nodes = 0, prot = 0;
        ~Tally() { s.count(type, op, nodes, prot); }
    };

    // Close the node whose inputs were added to `b` (the active block).
    int64_t append(Tally &tally, NodeBlock &b, uint8_t type, uint32_t op, uint32_t word, uint32_t src, bool prot,
                   int64_t meta) {
        if (next_id_ == INT64_MAX) {
            b.drop_open_inputs();
            throw std::overflow_error("node ids exhausted");
        }
        uint8_t flags = (prot || (word != 0 && word_tainted(word))) ? FLAG_PROTECTED : 0;
        if (meta >= 0) flags |= FLAG_METADATA;
        b.add_node(type, flags, op, word, src);
        if (meta >= 0) b.set_metadata(b.size() - 1, uint32_t(meta));
        ++tally.nodes;
        tally.prot += flags & FLAG_PROTECTED;
        const int64_t id = next_id_++;
        if (b.full()) seal_last();
        return id;
    }

    void seal_last() {
        NodeBlock &b = *blocks_.back();
        b.seal();
        indexes_.emplace_back(b.words(), b.size());
    }

    size_t resident_bytes() const {
        size_t total = texts_.bytes() + attrs_.bytes();
        for (const auto &b : blocks_) total += b->column_bytes() + b->side_bytes();
        for (const auto &ix : indexes_) total += ix.bytes();
        return total;
    }

    void spill_block(size_t b) {
        if (blocks_[b]->spilled()) return;
        if (!made_dir_) {
            if (spill_dir_.empty()) throw std::runtime_error("no spill directory was given");
            if (::mkdir(spill_dir_.c_str(), 0700) != 0 && errno != EEXIST)
                throw std::runtime_error("cannot create spill directory " + spill_dir_ + ": " + std::strerror(errno));
            made_dir_ = true;
        }
        blocks_[b]->spill(spill_dir_ + "/block-" + std::to_string(b) + ".col");
    }

    // Oldest sealed blocks to disk while over budget.  A failure leaves the
    // blocks in memory (nothing is lost) and is reported through `stats`.
    void maybe_spill() {
        size_t resident = resident_bytes();
        for (size_t b = 0; b < indexes_.size() && resident > budget_; ++b) {
            if (blocks_[b]->spilled()) continue;
            const size_t before = blocks_[b]->column_bytes();
            try {
                spill_block(b);
                spill_error_.clear();
            } catch (const std::exception &e) {
                spill_error_ = e.what();
                return;
            }
            resident -= before;
        }
    }

    mutable std::mutex mu_;
    int64_t first_id_;
    int64_t next_id_;
    size_t budget_;
    std::string spill_dir_;
    bool made_dir_ = false;
    std::string spill_error_;
    Interner texts_;
    SourceAttrs attrs_;
    SourceIndex sources_;
    std::vector<std::unique_ptr<NodeBlock>> blocks_;
    std::vector<BlockWordIndex> indexes_;  // one per sealed block, in block order
    int64_t n_sources_ = 0, n_protected_ = 0;
    std::unordered_map<uint32_t, int64_t> op_counts_;
    std::vector<uint32_t> op_order_;
};

}  // namespace morvel::colstore
