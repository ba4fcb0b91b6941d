// Bulk creation of DAG node records for the lineage layer.
//
// A DAG-tracked series operation on n elements logs one node per element.
// Doing that through the tracker's Python methods costs several interpreted
// calls per element; this header builds the very same records from C++:
// one `DAGNode` per element, stored in the tracker's node store and its
// provenance index, with the taint marking, id allocation and eviction
// moments of the tracker's own node creation.
//
// Everything here runs with the GIL held: it creates and links Python
// objects.  The caller holds the tracker's node lock around the whole call.
#pragma once

#include <Python.h>
#include <structmember.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace morvel::lineage {

// Owning reference to a Python object (released on scope exit).
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject *o) : o_(o) {}
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : o_(other.o_) { other.o_ = nullptr; }
    Ref &operator=(Ref &&other) noexcept {
        if (this != &other) {
            Py_XDECREF(o_);
            o_ = other.o_;
            other.o_ = nullptr;
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(o_); }
    PyObject *get() const { return o_; }
    PyObject *release() {
        PyObject *o = o_;
        o_ = nullptr;
        return o;
    }
    explicit operator bool() const { return o_ != nullptr; }

private:
    PyObject *o_ = nullptr;
};

// Raised after a Python exception was set; the binding layer turns it into
// the pending Python error.
struct PythonError : std::exception {
    const char *what() const noexcept override { return "python error"; }
};

inline void check(bool ok) {
    if (!ok) throw PythonError();
}

// The ten fields of a DAG node record, in declaration order.
enum Field : int {
    F_NODE_ID = 0,
    F_NODE_TYPE,
    F_OPERATION,
    F_INPUTS,
    F_PROVENANCE,
    F_METADATA,
    F_TABLE,
    F_COLUMN,
    F_PAIR_ID,
    F_IS_PROTECTED,
    F_COUNT
};

inline const char *field_name(int f) {
    static const char *names[F_COUNT] = {"node_id",  "node_type", "operation", "inputs",
                                         "provenance", "metadata", "table",     "column",
                                         "pair_id",  "is_protected"};
    return names[f];
}

// How to write each field of a record class.  A slotted record class keeps
// its fields at fixed offsets described by member descriptors; those are
// written directly.  Any other class gets a generic attribute assignment.
class NodeLayout {
public:
    explicit NodeLayout(PyObject *cls) {
        if (!PyType_Check(cls)) {
            PyErr_SetString(PyExc_TypeError, "node class must be a type");
            throw PythonError();
        }
        type_ = reinterpret_cast<PyTypeObject *>(cls);
        for (int f = 0; f < F_COUNT; ++f) {
            names_[f] = Ref(PyUnicode_InternFromString(field_name(f)));
            check(bool(names_[f]));
            offsets_[f] = -1;
            // Look the descriptor up on the type (not through instances).
            PyObject *descr = _PyType_Lookup(type_, names_[f].get());  // borrowed
            if (descr != nullptr && Py_IS_TYPE(descr, &PyMemberDescr_Type)) {
                PyMemberDef *m = reinterpret_cast<PyMemberDescrObject *>(descr)->d_member;
                if (m->type == T_OBJECT_EX && !(m->flags & READONLY)) {
                    offsets_[f] = m->offset;
                }
            }
        }
    }

    // A new, empty record (fields unset).
    PyObject *alloc() const {
        PyObject *obj = type_->tp_alloc(type_, 0);
        check(obj != nullptr);
        return obj;
    }

    // Store `value` (a new reference, stolen) in field f of `obj`.
    void set(PyObject *obj, int f, PyObject *value) const {
        if (value == nullptr) throw PythonError();
        if (offsets_[f] >= 0) {
            PyObject **slot = reinterpret_cast<PyObject **>(reinterpret_cast<char *>(obj) + offsets_[f]);
            PyObject *old = *slot;
            *slot = value;
            Py_XDECREF(old);
            return;
        }
        int rc = PyObject_SetAttr(obj, names_[f].get(), value);
        Py_DECREF(value);
        check(rc == 0);
    }

    PyObject *name(int f) const { return names_[f].get(); }

    // Store a borrowed object (a new reference is taken).
    void set_borrowed(PyObject *obj, int f, PyObject *value) const {
        Py_INCREF(value);
        set(obj, f, value);
    }

private:
    PyTypeObject *type_ = nullptr;
    Ref names_[F_COUNT];
    Py_ssize_t offsets_[F_COUNT];
};

inline PyObject *get_attr(PyObject *obj, const char *name) {
    PyObject *v = PyObject_GetAttrString(obj, name);
    check(v != nullptr);
    return v;
}

inline long long get_ll_attr(PyObject *obj, const char *name) {
    Ref v(get_attr(obj, name));
    long long out = PyLong_AsLongLong(v.get());
    check(!(out == -1 && PyErr_Occurred()));
    return out;
}

inline PyObject *get_dict_attr(PyObject *obj, const char *name) {
    PyObject *v = get_attr(obj, name);
    // Exactly a dict: the calls below bypass any methods of a subclass
    // (and would corrupt an OrderedDict's own ordering).
    if (!PyDict_CheckExact(v)) {
        Py_DECREF(v);
        PyErr_Format(PyExc_TypeError, "tracker attribute %s must be a dict", name);
        throw PythonError();
    }
    return v;
}

// Taint bit of a VORTEL-32 word (bit 29).
inline bool word_tainted(uint32_t w) { return ((w >> 29) & 1u) != 0; }

// Remove a tenth of the store (rounded down), oldest non-source nodes
// first, and drop the removed ids from the provenance index: the tracker's
// own eviction, done without an interpreted loop over the victims.
// `source` is the SOURCE member of the node-type enumeration.
inline void evict_oldest(PyObject *nodes, PyObject *index, PyObject *source, PyObject *node_type_name) {
    const Py_ssize_t evict_count = PyDict_GET_SIZE(nodes) / 10;
    if (evict_count <= 0) return;

    // Victims in store (creation) order; strong references while the
    // store entries go away.
    std::vector<PyObject *> victim_keys, victim_nodes;
    struct Release {
        std::vector<PyObject *> &a, &b;
        ~Release() {
            for (PyObject *o : a) Py_DECREF(o);
            for (PyObject *o : b) Py_DECREF(o);
        }
    } release{victim_keys, victim_nodes};
    victim_keys.reserve(size_t(evict_count));
    victim_nodes.reserve(size_t(evict_count));
    Py_ssize_t pos = 0;
    PyObject *key, *node;
    while (Py_ssize_t(victim_keys.size()) < evict_count && PyDict_Next(nodes, &pos, &key, &node)) {
        // The entry is borrowed from the store; hold it while its type is
        // read, which may run Python code that changes the store.
        Py_INCREF(key);
        Ref key_ref(key);
        Py_INCREF(node);
        Ref node_ref(node);
        Ref type(PyObject_GetAttr(node, node_type_name));
        check(bool(type));
        int is_source = PyObject_RichCompareBool(type.get(), source, Py_EQ);
        check(is_source >= 0);
        if (is_source) continue;
        victim_keys.push_back(key_ref.release());
        victim_nodes.push_back(node_ref.release());
    }

    // Delete from the store and group the victims' ids by provenance.
    Ref by_prov(PyDict_New());
    check(bool(by_prov));
    Ref prov_name(PyUnicode_InternFromString("provenance"));
    check(bool(prov_name));
    for (size_t i = 0; i < victim_keys.size(); ++i) {
        check(PyDict_DelItem(nodes, victim_keys[i]) == 0);
        Ref prov(PyObject_GetAttr(victim_nodes[i], prov_name.get()));
        check(bool(prov));
        PyObject *gone = PyDict_GetItemWithError(by_prov.get(), prov.get());  // borrowed
        if (gone == nullptr) {
            check(!PyErr_Occurred());
            Ref fresh(PyList_New(0));
            check(bool(fresh));
            check(PyDict_SetItem(by_prov.get(), prov.get(), fresh.get()) == 0);
            gone = fresh.get();
        }
        check(PyList_Append(gone, victim_keys[i]) == 0);
    }

    // Drop the ids from their index lists; an emptied list loses its key.
    pos = 0;
    PyObject *prov, *gone;
    while (PyDict_Next(by_prov.get(), &pos, &prov, &gone)) {
        PyObject *ids = PyDict_GetItemWithError(index, prov);  // borrowed
        if (ids == nullptr) {
            check(!PyErr_Occurred());
            continue;
        }
        Py_INCREF(ids);
        Ref ids_ref(ids);
        if (!PyList_Check(ids)) {
            PyErr_SetString(PyExc_TypeError, "provenance index entries must be lists");
            throw PythonError();
        }
        const Py_ssize_t n_gone = PyList_GET_SIZE(gone);
        if (n_gone == 1) {
            // list.remove semantics: the first equal entry, if any.
            PyObject *target = PyList_GET_ITEM(gone, 0);
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(ids); ++i) {
                // Entries are held while compared: a comparison may run
                // Python code that changes the list (as list.remove does).
                PyObject *entry = PyList_GET_ITEM(ids, i);
                Py_INCREF(entry);
                Ref entry_ref(entry);
                int eq = PyObject_RichCompareBool(entry, target, Py_EQ);
                check(eq >= 0);
                if (eq) {
                    check(PyList_SetSlice(ids, i, i + 1, nullptr) == 0);
                    break;
                }
            }
        } else {
            // Keep the entries that are not among the removed ids.  The ids
            // are ints: a bitmap over their range answers membership; other
            // entries are asked through a set.
            long long lo = 0, hi = -1;
            bool all_ints = true;
            for (Py_ssize_t i = 0; i < n_gone; ++i) {
                PyObject *g = PyList_GET_ITEM(gone, i);
                if (!PyLong_CheckExact(g)) {
                    all_ints = false;
                    break;
                }
                long long v = PyLong_AsLongLong(g);
                if (v == -1 && PyErr_Occurred()) {
                    PyErr_Clear();
                    all_ints = false;
                    break;
                }
                if (i == 0 || v < lo) lo = v;
                if (i == 0 || v > hi) hi = v;
            }
            std::vector<bool> bitmap;
            Ref gone_set;
            // The span hi - lo in unsigned arithmetic: ids far apart (or of
            // opposite signs near the limits) must not overflow.
            const unsigned long long span = (unsigned long long)hi - (unsigned long long)lo;
            if (all_ints && span < (unsigned long long)(64) * PyList_GET_SIZE(ids) + 1024) {
                bitmap.assign(size_t(span + 1), false);
                for (Py_ssize_t i = 0; i < n_gone; ++i)
                    bitmap[size_t((unsigned long long)PyLong_AsLongLong(PyList_GET_ITEM(gone, i)) -
                                  (unsigned long long)lo)] = true;
            } else {
                gone_set = Ref(PySet_New(gone));
                check(bool(gone_set));
            }
            Ref kept(PyList_New(0));
            check(bool(kept));
            // The length is read per entry and each entry held while it is
            // looked up: a set lookup may run Python code that changes the
            // list, like the list iteration of the tracker's own eviction.
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(ids); ++i) {
                PyObject *item = PyList_GET_ITEM(ids, i);
                Py_INCREF(item);
                Ref item_ref(item);
                bool removed;
                if (gone_set) {
                    int c = PySet_Contains(gone_set.get(), item);
                    check(c >= 0);
                    removed = c != 0;
                } else if (PyLong_CheckExact(item)) {
                    int overflow = 0;
                    long long v = PyLong_AsLongLongAndOverflow(item, &overflow);
                    check(!(v == -1 && PyErr_Occurred()));
                    removed = !overflow && v >= lo && v <= hi &&
                              bitmap[size_t((unsigned long long)v - (unsigned long long)lo)];
                } else {
                    // A non-int entry equal to an int id (e.g. a numpy int).
                    if (!gone_set) {
                        gone_set = Ref(PySet_New(gone));
                        check(bool(gone_set));
                    }
                    int c = PySet_Contains(gone_set.get(), item);
                    check(c >= 0);
                    removed = c != 0;
                }
                if (!removed) check(PyList_Append(kept.get(), item) == 0);
            }
            check(PyList_SetSlice(ids, 0, PY_SSIZE_T_MAX, kept.get()) == 0);
        }
        if (PyList_GET_SIZE(ids) == 0) check(PyDict_DelItem(index, prov) == 0);
    }
}

// Log one node per position i with left[i] >= 0 (and right[i] >= 0 when
// `right` is given): a binary node with inputs [left[i], right[i]] or a
// unary node with inputs [left[i]], operation `op_name` and provenance
// words[i].  Node ids come from the tracker's counter; out[i] receives the
// id, or -1 where no node was logged.  Mirrors, per node and in order:
// id allocation, record construction (new inputs list, new empty metadata
// dict), taint marking, store insertion, provenance indexing, and eviction
// through the tracker's `_evict_oldest_nodes` whenever the store exceeds
// `_max_nodes` after an insertion.
//
// With `source` set (the SOURCE member of the node-type enumeration) the
// eviction is done here by `evict_oldest`, which must then leave exactly
// the state the tracker's `_evict_oldest_nodes` leaves; with `source` null
// that method is called.
//
// With `persist` set, each node is handed to the tracker's `_persist_node`
// whenever the tracker's `_writer` is truthy at that moment: after the node
// is stored and indexed and before the eviction check, as the tracker's own
// node creation does.  An error raised there stops the call; the nodes of
// earlier positions stay, and out[i] of the failing position and all later
// ones are left untouched (out[i] is written once a position is complete).
inline void log_nodes(PyObject *tracker, PyObject *node_cls, PyObject *node_type, PyObject *op_name,
                      const uint32_t *words, const int64_t *left, const int64_t *right, size_t n,
                      int64_t *out, PyObject *source = nullptr, bool persist = false) {
    NodeLayout layout(node_cls);
    // Millions of new container objects would set off collection after
    // collection over the growing store, which would dominate the cost.  The
    // collector is paused for the call; its allocation counts stay, so it
    // runs once afterwards, over everything created here.
    struct GcPause {
        int was_enabled = PyGC_Disable();
        ~GcPause() {
            if (was_enabled) PyGC_Enable();
        }
    } gc_pause;
    Ref nodes(get_dict_attr(tracker, "_nodes"));
    Ref index(get_dict_attr(tracker, "_prov_to_nodes"));
    long long next_id = get_ll_attr(tracker, "_next_node_id");
    long long max_nodes = get_ll_attr(tracker, "_max_nodes");
    Ref writer_name, persist_name;
    if (persist) {
        writer_name = Ref(PyUnicode_InternFromString("_writer"));
        check(bool(writer_name));
        persist_name = Ref(PyUnicode_InternFromString("_persist_node"));
        check(bool(persist_name));
    }

    // Writes the id counter back; done before eviction (the tracker's own
    // counter is already advanced when it evicts) and when leaving.
    auto store_next_id = [&]() {
        Ref v(PyLong_FromLongLong(next_id));
        check(bool(v));
        check(PyObject_SetAttrString(tracker, "_next_node_id", v.get()) == 0);
    };

    bool cached = false;
    uint32_t cached_word = 0;
    Ref cached_prov, cached_ids;

    try {
        for (size_t i = 0; i < n; ++i) {
            const int64_t a = left[i];
            const int64_t b = right ? right[i] : 0;
            if (a < 0 || b < 0) {
                out[i] = -1;
                continue;
            }
            const long long node_id = next_id++;
            const uint32_t w = words[i];

            Ref id_obj(PyLong_FromLongLong(node_id));
            check(bool(id_obj));
            // The word object and its index list: from the previous node when
            // the word repeats, else looked up.  Like the tracker, nodes with
            // one word share one int object (the first listed node's).
            // `ids` is owned, not borrowed from the index: reading a stored
            // node's word may run Python code that changes the index.
            Ref prov_obj;
            Ref ids;
            if (cached && w == cached_word) {
                Py_INCREF(cached_prov.get());
                prov_obj = Ref(cached_prov.get());
                Py_INCREF(cached_ids.get());
                ids = Ref(cached_ids.get());
            } else {
                prov_obj = Ref(PyLong_FromUnsignedLong(w));
                check(bool(prov_obj));
                PyObject *found = PyDict_GetItemWithError(index.get(), prov_obj.get());  // borrowed
                if (found == nullptr) {
                    check(!PyErr_Occurred());
                } else {
                    Py_INCREF(found);
                    ids = Ref(found);
                }
                if (ids && PyList_Check(ids.get()) && PyList_GET_SIZE(ids.get()) > 0) {
                    PyObject *first_key = PyList_GET_ITEM(ids.get(), 0);
                    Py_INCREF(first_key);
                    Ref first_key_ref(first_key);
                    PyObject *first = PyDict_GetItemWithError(nodes.get(), first_key);  // borrowed
                    if (first == nullptr) {
                        check(!PyErr_Occurred());
                    } else {
                        Py_INCREF(first);
                        Ref first_ref(first);
                        Ref shared(PyObject_GetAttr(first, layout.name(F_PROVENANCE)));
                        check(bool(shared));
                        int eq = PyObject_RichCompareBool(shared.get(), prov_obj.get(), Py_EQ);
                        check(eq >= 0);
                        if (eq && PyLong_CheckExact(shared.get())) prov_obj = std::move(shared);
                    }
                }
            }
            Ref inputs(PyList_New(right ? 2 : 1));
            check(bool(inputs));
            PyObject *a_obj = PyLong_FromLongLong(a);
            check(a_obj != nullptr);
            PyList_SET_ITEM(inputs.get(), 0, a_obj);
            if (right) {
                PyObject *b_obj = PyLong_FromLongLong(b);
                check(b_obj != nullptr);
                PyList_SET_ITEM(inputs.get(), 1, b_obj);
            }

            Ref node(layout.alloc());
            PyObject *nd = node.get();
            layout.set_borrowed(nd, F_NODE_ID, id_obj.get());
            layout.set_borrowed(nd, F_NODE_TYPE, node_type);
            layout.set_borrowed(nd, F_OPERATION, op_name);
            layout.set(nd, F_INPUTS, inputs.release());
            layout.set_borrowed(nd, F_PROVENANCE, prov_obj.get());
            layout.set(nd, F_METADATA, PyDict_New());
            layout.set_borrowed(nd, F_TABLE, Py_None);
            layout.set_borrowed(nd, F_COLUMN, Py_None);
            layout.set_borrowed(nd, F_PAIR_ID, Py_None);
            layout.set_borrowed(nd, F_IS_PROTECTED, (w != 0 && word_tainted(w)) ? Py_True : Py_False);

            check(PyDict_SetItem(nodes.get(), id_obj.get(), nd) == 0);

            if (!ids) {
                ids = Ref(PyList_New(0));
                check(bool(ids));
                check(PyDict_SetItem(index.get(), prov_obj.get(), ids.get()) == 0);
            }
            check(PyList_Append(ids.get(), id_obj.get()) == 0);
            if (!(cached && w == cached_word)) {
                cached_ids = std::move(ids);
                Py_INCREF(prov_obj.get());
                cached_prov = Ref(prov_obj.get());
                cached_word = w;
                cached = true;
            }
            if (persist) {
                Ref writer(PyObject_GetAttr(tracker, writer_name.get()));
                check(bool(writer));
                const int live = PyObject_IsTrue(writer.get());
                check(live >= 0);
                if (live) {
                    // The persisting code sees the counter already advanced,
                    // as in the tracker's own node creation.
                    store_next_id();
                    Ref r(PyObject_CallMethodOneArg(tracker, persist_name.get(), nd));
                    check(bool(r));
                    // Python code ran (the writer's own methods among it):
                    // pick the tracker's attributes up again, as the next
                    // node creation of the tracker would read them.
                    cached = false;
                    cached_ids = Ref();
                    cached_prov = Ref();
                    nodes = Ref(get_dict_attr(tracker, "_nodes"));
                    index = Ref(get_dict_attr(tracker, "_prov_to_nodes"));
                    next_id = get_ll_attr(tracker, "_next_node_id");
                    max_nodes = get_ll_attr(tracker, "_max_nodes");
                }
            }

            if (PyDict_GET_SIZE(nodes.get()) > max_nodes) {
                store_next_id();
                if (source != nullptr) {
                    evict_oldest(nodes.get(), index.get(), source, layout.name(F_NODE_TYPE));
                } else {
                    Ref r(PyObject_CallMethod(tracker, "_evict_oldest_nodes", nullptr));
                    check(bool(r));
                }
                // Eviction may have emptied and dropped the cached index
                // list; and it works on the tracker's attributes: pick them
                // up again in case it rebound them.
                cached = false;
                cached_ids = Ref();
                cached_prov = Ref();
                nodes = Ref(get_dict_attr(tracker, "_nodes"));
                index = Ref(get_dict_attr(tracker, "_prov_to_nodes"));
            }
            out[i] = node_id;
        }
    } catch (...) {
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        PyObject *nv = PyLong_FromLongLong(next_id);
        if (nv != nullptr) {
            PyObject_SetAttrString(tracker, "_next_node_id", nv);
            Py_DECREF(nv);
        }
        PyErr_Clear();
        PyErr_Restore(t, v, tb);
        throw;
    }
    store_next_id();
}

}  // namespace morvel::lineage
