// Bulk creation of DAG node records for the lineage layer.
//
// A DAG-tracked series operation on n elements logs one node per element.
// Doing that through the tracker's Python methods costs several interpreted
// calls per element; this header builds the very same records from C++ on
// behalf of the tracker's node store: one `DAGNode` per element, stored in
// the store's node dict and provenance index, with the taint marking, id
// allocation and eviction moments of the store's own `add`.
//
// It knows nothing of the tracker: the store hands over its containers
// (`bulk_begin()`) and takes the advanced id counter back (`bulk_commit`);
// records are made by the node class's own `__new__` and filled through its
// field descriptors.  Everything here runs with the GIL held: it creates and
// links Python objects.  The caller holds the tracker's node lock.
#pragma once

#include <Python.h>

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

// How records of a node class are made: the class's own `__new__` (no
// arguments), then each field set through the descriptor the class defines
// for it (a slotted dataclass has one per field), as attribute assignment
// would.  A class without a settable descriptor for every field is refused.
class NodeFactory {
public:
    explicit NodeFactory(PyObject *cls) {
        if (!PyType_Check(cls)) {
            PyErr_SetString(PyExc_TypeError, "node class must be a type");
            throw PythonError();
        }
        type_ = reinterpret_cast<PyTypeObject *>(cls);
        if (type_->tp_new == nullptr) {
            PyErr_SetString(PyExc_TypeError, "node class cannot be instantiated");
            throw PythonError();
        }
        no_args_ = Ref(PyTuple_New(0));
        check(bool(no_args_));
        for (int f = 0; f < F_COUNT; ++f) {
            names_[f] = Ref(PyUnicode_InternFromString(field_name(f)));
            check(bool(names_[f]));
            // The descriptor as the class defines it (not through instances).
            PyObject *descr = _PyType_Lookup(type_, names_[f].get());  // borrowed
            if (descr == nullptr || Py_TYPE(descr)->tp_descr_set == nullptr) {
                PyErr_Format(PyExc_TypeError, "node class %s has no settable field %s",
                             type_->tp_name, field_name(f));
                throw PythonError();
            }
            Py_INCREF(descr);
            descrs_[f] = Ref(descr);
        }
    }

    // A new, empty record (fields unset), as `cls.__new__(cls)` makes it.
    PyObject *make() const {
        PyObject *obj = type_->tp_new(type_, no_args_.get(), nullptr);
        check(obj != nullptr);
        return obj;
    }

    // Store `value` (a new reference, stolen) in field f of `obj`.
    void set(PyObject *obj, int f, PyObject *value) const {
        if (value == nullptr) throw PythonError();
        Ref owned(value);
        PyObject *d = descrs_[f].get();
        check(Py_TYPE(d)->tp_descr_set(d, obj, value) == 0);
    }

    PyObject *name(int f) const { return names_[f].get(); }

    // Store a borrowed object (a new reference is taken).
    void set_borrowed(PyObject *obj, int f, PyObject *value) const {
        Py_INCREF(value);
        set(obj, f, value);
    }

private:
    PyTypeObject *type_ = nullptr;
    Ref no_args_;
    Ref names_[F_COUNT];
    Ref descrs_[F_COUNT];
};

// What the node store hands to the logger: its node dict, its provenance
// index, the next node id and the store's bound.  Asked for again after any
// Python code ran (persisting, eviction), since that code may rebind them.
struct StoreState {
    Ref nodes, index;
    long long next_id = 0;
    long long max_nodes = 0;
};

inline StoreState begin(PyObject *store) {
    Ref state(PyObject_CallMethod(store, "bulk_begin", nullptr));
    check(bool(state));
    if (!PyTuple_CheckExact(state.get()) || PyTuple_GET_SIZE(state.get()) != 4) {
        PyErr_SetString(PyExc_TypeError, "bulk_begin() must return a 4-tuple");
        throw PythonError();
    }
    StoreState out;
    PyObject *nodes = PyTuple_GET_ITEM(state.get(), 0);
    PyObject *index = PyTuple_GET_ITEM(state.get(), 1);
    // Exactly dicts: the calls below bypass any methods of a subclass (and
    // would corrupt an OrderedDict's own ordering).
    if (!PyDict_CheckExact(nodes) || !PyDict_CheckExact(index)) {
        PyErr_SetString(PyExc_TypeError, "node store _nodes and _prov_to_nodes must be dicts");
        throw PythonError();
    }
    Py_INCREF(nodes);
    out.nodes = Ref(nodes);
    Py_INCREF(index);
    out.index = Ref(index);
    out.next_id = PyLong_AsLongLong(PyTuple_GET_ITEM(state.get(), 2));
    check(!(out.next_id == -1 && PyErr_Occurred()));
    out.max_nodes = PyLong_AsLongLong(PyTuple_GET_ITEM(state.get(), 3));
    check(!(out.max_nodes == -1 && PyErr_Occurred()));
    return out;
}

// Hands the advanced id counter back to the store.
inline void commit(PyObject *store, long long next_id) {
    Ref v(PyLong_FromLongLong(next_id));
    check(bool(v));
    Ref r(PyObject_CallMethod(store, "bulk_commit", "O", v.get()));
    check(bool(r));
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
// words[i].  Node ids come from the store's counter; out[i] receives the
// id, or -1 where no node was logged.  Mirrors, per node and in order, the
// store's `add`: id allocation, record construction (new inputs list, new
// empty metadata dict), taint marking, store insertion and provenance
// indexing; then eviction whenever the store exceeds its bound after an
// insertion.
//
// With `source` set (the SOURCE member of the node-type enumeration) the
// eviction is done here by `evict_oldest`, which must then leave exactly
// the state the store's `evict_oldest` leaves; with `source` null the
// callable `evict` is called (ValueError when neither is given).
//
// With `persist` set, each node is passed to it after the node is stored
// and indexed and before the eviction check, with the counter already
// handed back; a truthy return means Python code ran that may have changed
// the store, whose state is then asked for again.  An error raised there
// stops the call; the nodes of earlier positions stay, and out[i] of the
// failing position and all later ones are left untouched (out[i] is
// written once a position is complete).
inline void log_nodes(PyObject *store, PyObject *node_cls, PyObject *node_type, PyObject *op_name,
                      const uint32_t *words, const int64_t *left, const int64_t *right, size_t n,
                      int64_t *out, PyObject *source, PyObject *evict, PyObject *persist) {
    NodeFactory factory(node_cls);
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
    StoreState st = begin(store);
    long long next_id = st.next_id;

    bool cached = false;
    uint32_t cached_word = 0;
    Ref cached_prov, cached_ids;
    auto forget_cache = [&]() {
        cached = false;
        cached_ids = Ref();
        cached_prov = Ref();
    };

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
            // the word repeats, else looked up.  Like the store, nodes with
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
                PyObject *found = PyDict_GetItemWithError(st.index.get(), prov_obj.get());  // borrowed
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
                    PyObject *first = PyDict_GetItemWithError(st.nodes.get(), first_key);  // borrowed
                    if (first == nullptr) {
                        check(!PyErr_Occurred());
                    } else {
                        Py_INCREF(first);
                        Ref first_ref(first);
                        Ref shared(PyObject_GetAttr(first, factory.name(F_PROVENANCE)));
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

            Ref node(factory.make());
            PyObject *nd = node.get();
            factory.set_borrowed(nd, F_NODE_ID, id_obj.get());
            factory.set_borrowed(nd, F_NODE_TYPE, node_type);
            factory.set_borrowed(nd, F_OPERATION, op_name);
            factory.set(nd, F_INPUTS, inputs.release());
            factory.set_borrowed(nd, F_PROVENANCE, prov_obj.get());
            factory.set(nd, F_METADATA, PyDict_New());
            factory.set_borrowed(nd, F_TABLE, Py_None);
            factory.set_borrowed(nd, F_COLUMN, Py_None);
            factory.set_borrowed(nd, F_PAIR_ID, Py_None);
            factory.set_borrowed(nd, F_IS_PROTECTED, (w != 0 && word_tainted(w)) ? Py_True : Py_False);

            check(PyDict_SetItem(st.nodes.get(), id_obj.get(), nd) == 0);

            if (!ids) {
                ids = Ref(PyList_New(0));
                check(bool(ids));
                check(PyDict_SetItem(st.index.get(), prov_obj.get(), ids.get()) == 0);
            }
            check(PyList_Append(ids.get(), id_obj.get()) == 0);
            if (!(cached && w == cached_word)) {
                cached_ids = std::move(ids);
                Py_INCREF(prov_obj.get());
                cached_prov = Ref(prov_obj.get());
                cached_word = w;
                cached = true;
            }
            if (persist != nullptr) {
                // The persisting code sees the counter already advanced, as
                // with the store's own node creation.
                commit(store, next_id);
                Ref r(PyObject_CallOneArg(persist, nd));
                check(bool(r));
                const int ran = PyObject_IsTrue(r.get());
                check(ran >= 0);
                if (ran) {
                    // Python code ran (the writer's own methods among it):
                    // pick the store's state up again, as its next node
                    // creation would read it.
                    forget_cache();
                    st = begin(store);
                    next_id = st.next_id;
                }
            }

            if (PyDict_GET_SIZE(st.nodes.get()) > st.max_nodes) {
                commit(store, next_id);
                if (source != nullptr) {
                    evict_oldest(st.nodes.get(), st.index.get(), source, factory.name(F_NODE_TYPE));
                } else if (evict != nullptr) {
                    Ref r(PyObject_CallNoArgs(evict));
                    check(bool(r));
                } else {
                    PyErr_SetString(PyExc_ValueError,
                                    "the store passed its bound: give source or evict");
                    throw PythonError();
                }
                // Eviction may have emptied and dropped the cached index
                // list; and it may have rebound the store's containers.
                forget_cache();
                st = begin(store);
                next_id = st.next_id;
            }
            out[i] = node_id;
        }
    } catch (...) {
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        PyObject *nv = PyLong_FromLongLong(next_id);
        if (nv != nullptr) {
            PyObject *r = PyObject_CallMethod(store, "bulk_commit", "O", nv);
            Py_XDECREF(r);
            Py_DECREF(nv);
        }
        PyErr_Clear();
        PyErr_Restore(t, v, tb);
        throw;
    }
    commit(store, next_id);
}

}  // namespace morvel::lineage
