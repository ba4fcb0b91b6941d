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
    if (!PyDict_Check(v)) {
        Py_DECREF(v);
        PyErr_Format(PyExc_TypeError, "tracker attribute %s must be a dict", name);
        throw PythonError();
    }
    return v;
}

// Taint bit of a VORTEL-32 word (bit 29).
inline bool word_tainted(uint32_t w) { return ((w >> 29) & 1u) != 0; }

// Log one node per position i with left[i] >= 0 (and right[i] >= 0 when
// `right` is given): a binary node with inputs [left[i], right[i]] or a
// unary node with inputs [left[i]], operation `op_name` and provenance
// words[i].  Node ids come from the tracker's counter; out[i] receives the
// id, or -1 where no node was logged.  Mirrors, per node and in order:
// id allocation, record construction (new inputs list, new empty metadata
// dict), taint marking, store insertion, provenance indexing, and eviction
// through the tracker's `_evict_oldest_nodes` whenever the store exceeds
// `_max_nodes` after an insertion.
inline void log_nodes(PyObject *tracker, PyObject *node_cls, PyObject *node_type, PyObject *op_name,
                      const uint32_t *words, const int64_t *left, const int64_t *right, size_t n,
                      int64_t *out) {
    NodeLayout layout(node_cls);
    // The records are plain containers that die with the store; letting the
    // cyclic collector walk the growing store again and again while millions
    // of them are created would dominate the cost.  Collection resumes (with
    // its counters intact) when the call returns.
    struct GcPause {
        int was_enabled = PyGC_Disable();
        ~GcPause() {
            if (was_enabled) PyGC_Enable();
        }
    } gc_pause;
    Ref nodes(get_dict_attr(tracker, "_nodes"));
    Ref index(get_dict_attr(tracker, "_prov_to_nodes"));
    long long next_id = get_ll_attr(tracker, "_next_node_id");
    const long long max_nodes = get_ll_attr(tracker, "_max_nodes");

    // Writes the id counter back; done before eviction (the tracker's own
    // counter is already advanced when it evicts) and when leaving.
    auto store_next_id = [&]() {
        Ref v(PyLong_FromLongLong(next_id));
        check(bool(v));
        check(PyObject_SetAttrString(tracker, "_next_node_id", v.get()) == 0);
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
            Ref prov_obj(PyLong_FromUnsignedLong(w));
            check(bool(prov_obj));
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

            PyObject *ids = PyDict_GetItemWithError(index.get(), prov_obj.get());  // borrowed
            if (ids == nullptr) {
                check(!PyErr_Occurred());
                Ref fresh(PyList_New(0));
                check(bool(fresh));
                check(PyDict_SetItem(index.get(), prov_obj.get(), fresh.get()) == 0);
                ids = fresh.get();
                check(PyList_Append(ids, id_obj.get()) == 0);
            } else {
                check(PyList_Append(ids, id_obj.get()) == 0);
            }
            out[i] = node_id;

            if (PyDict_GET_SIZE(nodes.get()) > max_nodes) {
                store_next_id();
                Ref r(PyObject_CallMethod(tracker, "_evict_oldest_nodes", nullptr));
                check(bool(r));
                // Eviction works on the tracker's attributes; pick them up
                // again in case it rebound them.
                nodes = Ref(get_dict_attr(tracker, "_nodes"));
                index = Ref(get_dict_attr(tracker, "_prov_to_nodes"));
            }
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
