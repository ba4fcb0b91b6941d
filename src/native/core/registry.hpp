// The codec object: packs and unpacks single VORTEL-32 words and owns the
// dense-signature registry.
//
// Dense words (4 or more pairs) carry a 26-bit signature instead of their
// pairs.  The codec remembers the pair set behind every signature it issues
// and hands out signatures collision-free: the first candidate is a hash of
// the set, and taken slots are skipped by linear probing, so one signature
// never names two sets.  The signature identifies the pair set only, not
// entity or chain: every row of a dense column shares one registry entry,
// which keeps the registry as small as the number of distinct pair sets.
// Consequently a dense word keeps no entity or chain (the payload has no
// room for them); decode reports both as 0.
//
// Words this codec never issued decode to an empty pair set with their
// header intact: a mode-0/1/2 pair field outside the numbering range, or a
// dense signature absent from this codec's registry (for instance a word
// made by another tracker).  combine treats their pairs as empty, so no
// pair is ever invented.  A foreign dense signature that happens to equal
// one issued here cannot be told apart: 26 bits cannot name the issuer.
//
// Stable signatures (an option of the constructor, off by default): the
// signature of a set is its hash alone, so it does not depend on which sets
// a codec saw before, and codecs in different processes give the same word
// for the same pairs.  A second set whose hash lands on a taken signature
// cannot be given another one then: it raises instead of probing.  Words
// whose pairs the codec cannot decode raise in combine instead of counting
// as empty, since a worker that silently dropped pairs would disagree with
// the others.
//
// Thread safety: the dense maps are guarded by `mu_` and the name registry
// by `names_mu_`; everything else is a pure function of the word.
#pragma once

#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/pairs.hpp"
#include "core/word.hpp"

namespace morvel {

using pairs::PairSet;

struct Decoded {
    PairSet set;
    uint32_t count = 0;
    uint32_t entity = 0;
    uint32_t chain = 0;
    bool taint = false;
    uint32_t depth = 0;
    uint32_t mode = 0;
    bool known = true;   // false for words this codec never issued
};

class Codec {
public:
    explicit Codec(bool stable_signatures = false) : stable_(stable_signatures) {}

    bool stable_signatures() const { return stable_; }

    // ---- name registry (mirrors the Python tracker; used by explain) ----
    // Returns the pair ID of (table, column), registering it when new.
    uint32_t register_pair(const std::string& table, const std::string& column, bool protect) {
        std::lock_guard<std::mutex> g(names_mu_);
        auto key = std::make_pair(table, column);
        auto it = ids_.find(key);
        uint32_t id;
        if (it != ids_.end()) {
            id = it->second;
        } else {
            if (names_.size() >= word::MAX_PAIRS)
                throw std::invalid_argument("Maximum 512 pairs supported");
            id = static_cast<uint32_t>(names_.size());
            names_.push_back(key);
            ids_.emplace(key, id);
        }
        if (protect) protected_columns_.insert(key);
        return id;
    }
    void mark_table_protected(const std::string& table) {
        std::lock_guard<std::mutex> g(names_mu_);
        protected_tables_.insert(table);
    }
    bool name_of(uint32_t id, std::pair<std::string, std::string>& out) const {
        std::lock_guard<std::mutex> g(names_mu_);
        if (id >= names_.size()) return false;
        out = names_[id];
        return true;
    }
    size_t registered_pairs() const {
        std::lock_guard<std::mutex> g(names_mu_);
        return names_.size();
    }
    size_t dense_entries() const {
        std::lock_guard<std::mutex> g(mu_);
        return set_of_.size();
    }

    // ---- state (for pickling) ----
    // Everything a codec has learnt: its names in ID order, the protection
    // sets and the dense signatures it issued.  restore_* rebuild it on a
    // fresh codec, so a restored codec decodes the words of the original.
    std::vector<std::pair<std::string, std::string>> names() const {
        std::lock_guard<std::mutex> g(names_mu_);
        return names_;
    }
    std::vector<std::pair<std::string, std::string>> protected_columns() const {
        std::lock_guard<std::mutex> g(names_mu_);
        return {protected_columns_.begin(), protected_columns_.end()};
    }
    std::vector<std::string> protected_tables() const {
        std::lock_guard<std::mutex> g(names_mu_);
        return {protected_tables_.begin(), protected_tables_.end()};
    }
    std::vector<std::pair<uint32_t, std::vector<uint32_t>>> dense_signatures() const {
        std::lock_guard<std::mutex> g(mu_);
        std::vector<std::pair<uint32_t, std::vector<uint32_t>>> out;
        out.reserve(set_of_.size());
        for (const auto& [sig, set] : set_of_) out.emplace_back(sig, set.to_vector());
        return out;
    }
    // Re-issues a dense signature for its pair set; false when the slot is
    // already taken by another set or the set already has a signature.
    bool restore_dense(uint32_t sig, const PairSet& s) {
        std::lock_guard<std::mutex> g(mu_);
        sig &= word::DENSE_SIG_MASK;
        auto it = set_of_.find(sig);
        if (it != set_of_.end()) return it->second == s;
        if (sig_of_.count(s)) return false;
        set_of_.emplace(sig, s);
        sig_of_.emplace(s, sig);
        return true;
    }

    // ---- pair field encoding ----
    // Pair key (mode bits | pair field, see word::pair_key) of at most three
    // ascending IDs.
    static uint32_t key_of_ids(const uint32_t* ids, uint32_t n) {
        using namespace word;
        switch (n) {
            case 0: return 0;
            case 1: return (ids[0] + 1) << M0_PAIR_SHIFT;
            case 2: return (MODE_2 << MODE_SHIFT) | (pairs::rank2(ids[0], ids[1]) << M1_PAIR_SHIFT);
            default:
                return (MODE_3 << MODE_SHIFT) |
                       (pairs::rank3(ids[0], ids[1], ids[2]) << M2_PAIR_SHIFT);
        }
    }

    // Pair key of a pair set; registers a dense signature for 4 or more.
    uint32_t key_of_set(const PairSet& s) {
        uint32_t ids[4];
        uint32_t n = s.ids(ids, 4);
        if (n <= 3) return key_of_ids(ids, n);
        return (word::MODE_DENSE << word::MODE_SHIFT) | signature_of(s);
    }

    // Ascending IDs named by a mode 0-2 word (or pair key).  False (and
    // n = 0) when the pair field is outside the numbering.
    static bool small_ids(uint32_t w, uint32_t* ids, uint32_t& n) {
        using namespace word;
        n = 0;
        uint32_t p = w & PAYLOAD_MASK;
        switch (mode(w)) {
            case MODE_01: {
                uint32_t d = (p >> M0_PAIR_SHIFT) & M0_PAIR_MASK;
                if (d > pairs::N) return false;
                if (d) { ids[0] = d - 1; n = 1; }
                return true;
            }
            case MODE_2:
                if (!pairs::unrank2((p >> M1_PAIR_SHIFT) & M1_PAIR_MASK, ids[0], ids[1])) return false;
                n = 2;
                return true;
            case MODE_3:
                if (!pairs::unrank3((p >> M2_PAIR_SHIFT) & M2_PAIR_MASK, ids[0], ids[1], ids[2]))
                    return false;
                n = 3;
                return true;
            default:
                return false;
        }
    }

    // Pair set named by a word (or pair key).  False (and an empty set)
    // when the word names pairs this codec does not know.
    bool set_of_word(uint32_t w, PairSet& out, uint32_t& count) const {
        if (word::mode(w) != word::MODE_DENSE) return set_of_word_locked(w, out, count);
        std::lock_guard<std::mutex> g(mu_);
        return set_of_word_locked(w, out, count);
    }

    // Pair key of the union of the sets named by two pair keys.  Unions of
    // two small sets that stay small are computed without the registry;
    // the others take the registry mutex once and are memoised per codec
    // (only when both keys are known: a key this codec never issued may
    // become known later, and must then decode to its new set).
    uint32_t combine_keys(uint32_t ka, uint32_t kb) {
        using namespace word;
        if (ka > kb) std::swap(ka, kb);  // union is symmetric: one memo entry per pair
        const uint64_t memo_key = (uint64_t(ka) << 32) | kb;
        if (mode(ka) != MODE_DENSE && mode(kb) != MODE_DENSE) {
            uint32_t ia[3], ib[3], na, nb;
            small_ids(ka, ia, na);
            small_ids(kb, ib, nb);
            uint32_t u[6], nu = 0, i = 0, j = 0;
            while (i < na || j < nb) {
                if (j >= nb || (i < na && ia[i] < ib[j])) u[nu++] = ia[i++];
                else if (i >= na || ib[j] < ia[i]) u[nu++] = ib[j++];
                else { u[nu++] = ia[i++]; ++j; }
            }
            if (nu <= 3) return key_of_ids(u, nu);
            std::lock_guard<std::mutex> g(mu_);
            auto it = union_memo_.find(memo_key);
            if (it != union_memo_.end()) return it->second;
            PairSet s;
            for (uint32_t k = 0; k < nu; ++k) s.add(u[k]);
            return remember(memo_key, (MODE_DENSE << MODE_SHIFT) | signature_locked(s));
        }
        std::lock_guard<std::mutex> g(mu_);
        auto it = union_memo_.find(memo_key);
        if (it != union_memo_.end()) return it->second;
        PairSet sa, sb;
        uint32_t na, nb;
        const bool known_a = set_of_word_locked(ka, sa, na);
        const bool known_b = set_of_word_locked(kb, sb, nb);
        sa.unite(sb);
        uint32_t ids[4];
        const uint32_t n = sa.ids(ids, 4);
        if (stable_ && !(known_a && known_b))
            throw std::invalid_argument("combine: word with pair key " +
                                        std::to_string(known_a ? kb : ka) +
                                        " names a dense signature this codec does not know");
        const uint32_t r = n <= 3 ? key_of_ids(ids, n)
                                  : (MODE_DENSE << MODE_SHIFT) | signature_locked(sa);
        return known_a && known_b ? remember(memo_key, r) : r;
    }

    // ---- single words ----
    // Entity and chain are reduced to the fields the resulting mode keeps.
    uint32_t encode(const PairSet& s, uint64_t entity, uint64_t chain, bool taint, uint32_t depth) {
        uint32_t key = key_of_set(s);
        return assemble_source(key, static_cast<uint32_t>(entity & 0xFF),
                               static_cast<uint32_t>(chain & 0xFF), taint, depth);
    }

    static uint32_t assemble_source(uint32_t key, uint32_t e8, uint32_t c8, bool taint, uint32_t depth) {
        using namespace word;
        uint32_t m = mode(key);
        uint32_t w = key | header(m, taint, depth);
        if (m == MODE_01) w |= (e8 << M0_ENT_SHIFT) | c8;
        else if (m == MODE_2) w |= (fold_entity5(e8) << M1_ENT_SHIFT) | fold_chain4(c8);
        return w;
    }

    Decoded decode(uint32_t w) const {
        Decoded d;
        d.known = set_of_word(w, d.set, d.count);
        d.entity = word::entity_field(w);
        d.chain = word::chain_field(w);
        d.taint = word::taint(w);
        d.depth = word::depth(w);
        d.mode = word::mode(w);
        return d;
    }

    // Entity and chain fields of a word as stored (0 in modes without
    // them).  Branch-free, as the batch kernels need to vectorise.
    static uint32_t entity_field(uint32_t w) {
        using namespace word;
        return (sel_mode(w, MODE_01) & ((w >> M0_ENT_SHIFT) & M0_ENT_MASK)) |
               (sel_mode(w, MODE_2) & ((w >> M1_ENT_SHIFT) & M1_ENT_MASK));
    }

    static uint32_t chain_field(uint32_t w) {
        using namespace word;
        return (sel_mode(w, MODE_01) & (w & M0_CHAIN_MASK)) | (sel_mode(w, MODE_2) & (w & M1_CHAIN_MASK));
    }

    // Result word of a two-operand operation, given the pair key of the
    // union of the operands' pair sets (see combine_keys).  Branch-free and
    // table-free so that the batch kernel vectorises.  Entities are XORed
    // before folding to 5 bits; the fold is linear and leaves 5-bit values
    // unchanged, so this equals the XOR of the operands' 5-bit entities.
    static uint32_t assemble_combined(uint32_t rkey, uint32_t a, uint32_t b, uint32_t op) {
        using namespace word;
        const uint32_t e = entity_field(a) ^ entity_field(b);
        const uint32_t c = chain_combine(chain_field(a), chain_field(b), op);
        const uint32_t da = depth(a), db = depth(b);
        uint32_t d = (da > db ? da : db) + 1;
        d -= d >> 3;  // 8 -> 7: depth saturates at MAX_DEPTH
        return rkey | ((a | b) & TAINT_BIT) | (d << DEPTH_SHIFT) |
               (sel_mode(rkey, MODE_01) & ((e << M0_ENT_SHIFT) | c)) |
               (sel_mode(rkey, MODE_2) & ((fold_entity5(e) << M1_ENT_SHIFT) | fold_chain4(c)));
    }

    // Result word of joining two partial aggregates: pairs united, entity
    // and chain XORed (associative and commutative, so the order in which
    // partitions and rows are joined does not matter), taint OR, depth max
    // (no step is added: the aggregate's own step is applied once when it
    // is finished).  The word 0 is the identity.  Entity and chain are
    // XORed as stored and folded to the result's mode; the folds are linear,
    // so folding early or late gives the same field.
    static uint32_t assemble_joined(uint32_t rkey, uint32_t a, uint32_t b) {
        using namespace word;
        const uint32_t e = entity_field(a) ^ entity_field(b);
        const uint32_t c = chain_field(a) ^ chain_field(b);
        const uint32_t da = depth(a), db = depth(b);
        return rkey | ((a | b) & TAINT_BIT) | ((da > db ? da : db) << DEPTH_SHIFT) |
               (sel_mode(rkey, MODE_01) & ((e << M0_ENT_SHIFT) | c)) |
               (sel_mode(rkey, MODE_2) & ((fold_entity5(e) << M1_ENT_SHIFT) | fold_chain4(c)));
    }

    uint32_t join(uint32_t a, uint32_t b) {
        return assemble_joined(combine_keys(word::pair_key(a), word::pair_key(b)), a, b);
    }

    uint32_t combine(uint32_t a, uint32_t b, uint32_t op) {
        return assemble_combined(combine_keys(word::pair_key(a), word::pair_key(b)), a, b, op);
    }

    // One-operand operation: only the chain changes.  Modes 2 and 3 have no
    // chain field, so their words come back unchanged.
    static uint32_t update_chain(uint32_t w, uint32_t op) {
        using namespace word;
        const uint32_t w0 = sel_mode(w, MODE_01), w1 = sel_mode(w, MODE_2);
        const uint32_t cmask = (w0 & M0_CHAIN_MASK) | (w1 & M1_CHAIN_MASK);
        const uint32_t c = chain_update(w & cmask, op);
        return (w & ~cmask) | (w0 & c) | (w1 & fold_chain4(c));
    }

private:
    // Pair set of a word, with mu_ held by the caller.
    bool set_of_word_locked(uint32_t w, PairSet& out, uint32_t& count) const {
        out = PairSet{};
        count = 0;
        if (word::mode(w) != word::MODE_DENSE) {
            uint32_t ids[3];
            if (!small_ids(w, ids, count)) return false;
            for (uint32_t i = 0; i < count; ++i) out.add(ids[i]);
            return true;
        }
        auto it = set_of_.find(w & word::DENSE_SIG_MASK);
        if (it == set_of_.end()) return false;
        out = it->second;
        count = out.size();
        return true;
    }

    uint32_t remember(uint64_t memo_key, uint32_t result) {
        if (union_memo_.size() >= MEMO_LIMIT) union_memo_.clear();
        union_memo_.emplace(memo_key, result);
        return result;
    }

    uint32_t signature_of(const PairSet& s) {
        std::lock_guard<std::mutex> g(mu_);
        return signature_locked(s);
    }

    // Signature of a set of 4 or more pairs, issuing a new one when the set
    // is new; mu_ held by the caller.
    uint32_t signature_locked(const PairSet& s) {
        auto it = sig_of_.find(s);
        if (it != sig_of_.end()) return it->second;
        if (set_of_.size() > word::DENSE_SIG_MASK)
            throw std::overflow_error("dense signature space exhausted");
        uint64_t h = s.hash();
        if (stable_) {
            // The set hash leaves pair IDs in the top bits of its last word
            // out of the low 26 bits ({0,1,2,3} and {0,1,2,3,506} would share
            // a signature); a stable signature has no probing to fall back
            // on, so it takes a full-avalanche finaliser (every pair changes
            // every signature bit with probability one half).
            h ^= h >> 33;
            h *= 0xFF51AFD7ED558CCDull;
            h ^= h >> 33;
            h *= 0xC4CEB9FE1A85EC53ull;
            h ^= h >> 33;
        }
        uint32_t sig = static_cast<uint32_t>(h ^ (h >> 32)) & word::DENSE_SIG_MASK;
        if (stable_ && set_of_.count(sig))
            throw std::overflow_error("dense signature collision: two pair sets hash to signature " +
                                      std::to_string(sig) +
                                      "; stable signatures cannot tell them apart");
        while (set_of_.count(sig)) sig = (sig + 1) & word::DENSE_SIG_MASK;
        set_of_.emplace(sig, s);
        sig_of_.emplace(s, sig);
        return sig;
    }

    bool stable_ = false;
    mutable std::mutex mu_;
    std::unordered_map<PairSet, uint32_t, pairs::PairSetHash> sig_of_;
    std::unordered_map<uint32_t, PairSet> set_of_;
    // (smaller key, larger key) -> pair key of the union; bounded.
    static constexpr size_t MEMO_LIMIT = size_t(1) << 18;
    std::unordered_map<uint64_t, uint32_t> union_memo_;

    mutable std::mutex names_mu_;
    struct NameHash {
        size_t operator()(const std::pair<std::string, std::string>& k) const {
            return std::hash<std::string>()(k.first) * 31u ^ std::hash<std::string>()(k.second);
        }
    };
    std::vector<std::pair<std::string, std::string>> names_;
    std::unordered_map<std::pair<std::string, std::string>, uint32_t, NameHash> ids_;
    std::unordered_set<std::pair<std::string, std::string>, NameHash> protected_columns_;
    std::unordered_set<std::string> protected_tables_;
};

}  // namespace morvel
