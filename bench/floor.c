/* The floor of the bench's model A: the least a native type can do and still take the steps a construction, a
 * read and a write of quenlory's take where a program can see them.
 *
 *   construction from a dict: read each field's key from the caller's dict, cast the value, store a result that
 *     is not the very object read back into that dict, check that no other key is there (by counting), keep the
 *     dict and a second, empty one in the instance;
 *   construction from keywords: the same from the keywords into a new dict;
 *   read: the instance's dict's item under the field's key, through a data descriptor on the class;
 *   write: the cast of the value stored into that dict, through the same descriptor.
 *
 * The int cast of a short decimal text is parsed in place, as quenlory's is; everything else is the interpreter's.
 * No schema, no checks of hostile input, no memo: a measuring stick for bench.py (--floor), not a library.
 *
 * The nested floor (node_shape, node_build) is the same for real data's nested models, for bench/real.py
 * (--callgrind, column "floor"): per record, a new instance that the collector tracks (it holds the caller's dict,
 * which may come to hold anything) keeps the caller's dict itself and a new dict of its nested values; each key is
 * matched once (in one pass over the dict, by identity where it can), a plain value is kept if it already has its
 * field's type (no other cast; a list or dict is copied, as its cast copies it), a nested dict becomes an instance of
 * its own and a list of them a list of instances, and an absent field must be optional. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>

#ifndef Py_NewRef
static inline PyObject *floor_new_ref(PyObject *o) {
    Py_INCREF(o);
    return o;
}
#define Py_NewRef(o) floor_new_ref((PyObject *)(o))
#endif

enum kind { KIND_INT, KIND_STR, KIND_OPTIONAL_STR };

typedef struct {
    PyObject_HEAD
    PyObject *key;
    int kind;
} FieldObject;

typedef struct {
    PyObject_HEAD
    PyObject *data;
    PyObject *compounds;
} RecordObject;

/* the fields of the record class, in order, set by bind() */
#define MAX_FIELDS 16
static FieldObject *fields[MAX_FIELDS];
static Py_ssize_t nfields;

static PyObject *int_of_text(PyObject *s) {
    if (PyUnicode_IS_COMPACT_ASCII(s)) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        const unsigned char *p = PyUnicode_1BYTE_DATA(s), *end = p + n;
        int negative = n > 0 && *p == '-';
        if (negative || (n > 0 && *p == '+')) ++p;
        if (p != end && end - p <= 18) {
            long long v = 0;
            for (; p != end; ++p) {
                unsigned d = (unsigned)*p - '0';
                if (d > 9) break;
                v = v * 10 + d;
            }
            if (p == end) return PyLong_FromLongLong(negative ? -v : v);
        }
    }
    return PyLong_FromUnicodeObject(s, 10);
}

static PyObject *cast(int kind, PyObject *v) {
    if (kind == KIND_INT) {
        if (PyUnicode_CheckExact(v)) return int_of_text(v);
        return PyLong_CheckExact(v) ? Py_NewRef(v) : PyNumber_Long(v);
    }
    if (kind == KIND_OPTIONAL_STR && v == Py_None) return Py_NewRef(v);
    return PyUnicode_CheckExact(v) ? Py_NewRef(v) : PyObject_Str(v);
}

static int fill(PyObject *data, PyObject *source, Py_ssize_t expected) {
    Py_ssize_t found = 0;
    for (Py_ssize_t i = 0; i < nfields; ++i) {
        FieldObject *f = fields[i];
        PyObject *v = PyDict_GetItemWithError(source, f->key);
        if (!v) {
            if (PyErr_Occurred()) return -1;
            if (f->kind == KIND_OPTIONAL_STR) continue;
            PyErr_Format(PyExc_ValueError, "Missing key [%U]", f->key);
            return -1;
        }
        ++found;
        PyObject *r = cast(f->kind, v);
        if (!r) return -1;
        int err = r == v && data == source ? 0 : PyDict_SetItem(data, f->key, r);
        Py_DECREF(r);
        if (err < 0) return -1;
    }
    if (found != expected) {
        PyErr_SetString(PyExc_ValueError, "Unexpected key provided");
        return -1;
    }
    return 0;
}

static int record_init(PyObject *self, PyObject *args, PyObject *kwargs) {
    RecordObject *r = (RecordObject *)self;
    PyObject *data;
    if (PyTuple_GET_SIZE(args) == 1) {
        data = Py_NewRef(PyTuple_GET_ITEM(args, 0));
        if (!PyDict_Check(data)) {
            Py_DECREF(data);
            PyErr_SetString(PyExc_ValueError, "Unexpected parameter type");
            return -1;
        }
    } else if (!(data = PyDict_New())) {
        return -1;
    }
    PyObject *compounds = PyDict_New();
    if (!compounds) {
        Py_DECREF(data);
        return -1;
    }
    Py_XSETREF(r->data, data);
    Py_XSETREF(r->compounds, compounds);
    if (PyTuple_GET_SIZE(args) == 1) return fill(data, data, PyDict_GET_SIZE(data));
    return kwargs ? fill(data, kwargs, PyDict_GET_SIZE(kwargs)) : fill(data, data, 0);
}

static void record_dealloc(PyObject *self) {
    RecordObject *r = (RecordObject *)self;
    Py_XDECREF(r->data);
    Py_XDECREF(r->compounds);
    Py_TYPE(self)->tp_free(self);  /* a subclass's own dealloc releases its class */
}

static PyMemberDef record_members[] = {
    {"_data", T_OBJECT_EX, offsetof(RecordObject, data), 0, NULL},
    {"_compounds", T_OBJECT_EX, offsetof(RecordObject, compounds), 0, NULL},
    {NULL, 0, 0, 0, NULL},
};

static PyTypeObject RecordType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "_floor.Record",
    .tp_basicsize = sizeof(RecordObject),
    .tp_dealloc = record_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_members = record_members,
    .tp_init = record_init,
    .tp_new = PyType_GenericNew,
};

static PyObject *field_get(PyObject *self, PyObject *obj, PyObject *type) {
    (void)type;
    if (!obj) return Py_NewRef(self);
    FieldObject *f = (FieldObject *)self;
    PyObject *v = PyDict_GetItemWithError(((RecordObject *)obj)->data, f->key);
    if (v) return Py_NewRef(v);
    if (PyErr_Occurred()) return NULL;
    if (f->kind == KIND_OPTIONAL_STR) Py_RETURN_NONE;
    PyErr_SetObject(PyExc_KeyError, f->key);
    return NULL;
}

static int field_set(PyObject *self, PyObject *obj, PyObject *value) {
    FieldObject *f = (FieldObject *)self;
    if (!value) {
        PyErr_SetString(PyExc_AttributeError, "__delete__");
        return -1;
    }
    PyObject *r = cast(f->kind, value);
    if (!r) return -1;
    int err = PyDict_SetItem(((RecordObject *)obj)->data, f->key, r);
    Py_DECREF(r);
    return err;
}

static void field_dealloc(PyObject *self) {
    Py_XDECREF(((FieldObject *)self)->key);
    Py_TYPE(self)->tp_free(self);
}

static PyTypeObject FieldType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "_floor.Field",
    .tp_basicsize = sizeof(FieldObject),
    .tp_dealloc = field_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_descr_get = field_get,
    .tp_descr_set = field_set,
};

/* field(key, kind): kind 0 int, 1 str, 2 optional str; appended to the record's fields. */
static PyObject *make_field(PyObject *module, PyObject *args) {
    (void)module;
    PyObject *key;
    int kind;
    if (!PyArg_ParseTuple(args, "Ui", &key, &kind)) return NULL;
    if (nfields == MAX_FIELDS) {
        PyErr_SetString(PyExc_OverflowError, "too many fields");
        return NULL;
    }
    FieldObject *f = PyObject_New(FieldObject, &FieldType);
    if (!f) return NULL;
    Py_INCREF(key);
    PyUnicode_InternInPlace(&key);
    f->key = key;
    f->kind = kind;
    fields[nfields++] = (FieldObject *)Py_NewRef(f);
    return (PyObject *)f;
}

/* --- the nested floor --- */

enum node_kind { NODE_PLAIN, NODE_MODEL, NODE_LIST };

struct node_shape;

typedef struct {
    PyObject *key;           /* strong, interned */
    PyObject *alias;         /* strong: the last equal str met as a key, or NULL */
    int kind;
    PyTypeObject *type;      /* NODE_PLAIN: the type a value keeps, or NULL for any */
    struct node_shape *child;
    int optional;
} NodeField;

#define MAX_NODE_FIELDS 64

typedef struct node_shape {
    Py_ssize_t n;
    NodeField *fields;
} NodeShape;

typedef RecordObject NodeObject;  /* the same two slots, in a type the collector tracks */

static int node_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(((NodeObject *)self)->data);
    Py_VISIT(((NodeObject *)self)->compounds);
    return 0;
}

static int node_clear(PyObject *self) {
    Py_CLEAR(((NodeObject *)self)->data);
    Py_CLEAR(((NodeObject *)self)->compounds);
    return 0;
}

static void node_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    node_clear(self);
    PyObject_GC_Del(self);
}

static PyTypeObject NodeType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "_floor.Node",
    .tp_basicsize = sizeof(NodeObject),
    .tp_dealloc = node_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = node_traverse,
    .tp_clear = node_clear,
};

static const char *const kShapeCapsule = "_floor.node_shape";

static PyObject *node_build(const NodeShape *shape, PyObject *data);

static PyObject *node_list(const NodeShape *shape, PyObject *list) {
    if (!PyList_CheckExact(list)) {
        PyErr_SetString(PyExc_ValueError, "not a list");
        return NULL;
    }
    Py_ssize_t n = PyList_GET_SIZE(list);
    PyObject *out = PyList_New(n);
    for (Py_ssize_t i = 0; out && i < n; ++i) {
        PyObject *item = node_build(shape, PyList_GET_ITEM(list, i));
        if (!item) Py_CLEAR(out);
        else PyList_SET_ITEM(out, i, item);
    }
    return out;
}

/* The field whose key is `key`, or -1: by identity with the field's key or the last equal str met under it, else
 * by text (then remembered), looking first where the last key's field left off, as records keep their key order. */
static Py_ssize_t node_field(const NodeShape *shape, PyObject *key, Py_ssize_t from) {
    Py_ssize_t n = shape->n;
    for (Py_ssize_t k = 0; k < n; ++k) {
        NodeField *f = &shape->fields[(from + k) % n];
        if (f->key == key || f->alias == key) return (from + k) % n;
    }
    if (!PyUnicode_CheckExact(key)) return -1;
    for (Py_ssize_t k = 0; k < n; ++k) {
        NodeField *f = &shape->fields[k];
        if (PyUnicode_GET_LENGTH(f->key) == PyUnicode_GET_LENGTH(key) && PyUnicode_Compare(f->key, key) == 0) {
            Py_XSETREF(f->alias, Py_NewRef(key));
            return k;
        }
    }
    return -1;
}

static PyObject *node_build(const NodeShape *shape, PyObject *data) {
    if (!PyDict_CheckExact(data)) {
        PyErr_SetString(PyExc_ValueError, "Unexpected parameter type");
        return NULL;
    }
    NodeObject *node = PyObject_GC_New(NodeObject, &NodeType);
    if (!node) return NULL;
    node->data = Py_NewRef(data);
    node->compounds = PyDict_New();
    PyObject_GC_Track(node);
    if (!node->compounds) goto fail;
    /* each key's field, and its value, in one pass over the dict: no key that no field claims */
    PyObject *values[MAX_NODE_FIELDS];
    for (Py_ssize_t i = 0; i < shape->n; ++i) values[i] = NULL;
    Py_ssize_t pos = 0, next = 0;
    PyObject *key, *value;
    while (PyDict_Next(data, &pos, &key, &value)) {
        Py_ssize_t i = node_field(shape, key, next);
        if (i < 0) {
            PyErr_SetString(PyExc_ValueError, "Unexpected key provided");
            goto fail;
        }
        values[i] = value;
        next = i + 1;
    }
    for (Py_ssize_t i = 0; i < shape->n; ++i) {
        const NodeField *f = &shape->fields[i];
        PyObject *v = values[i];
        if (!v) {
            if (!f->optional) {
                PyErr_Format(PyExc_ValueError, "Missing key [%U]", f->key);
                goto fail;
            }
            if (f->kind != NODE_PLAIN && PyDict_SetItem(node->compounds, f->key, Py_None) < 0) goto fail;
            continue;
        }
        if (f->kind == NODE_PLAIN) {
            if (f->optional && v == Py_None) continue;
            if (f->type && Py_TYPE(v) != f->type) {
                PyErr_Format(PyExc_ValueError, "[%U] has another type", f->key);
                goto fail;
            }
            /* a list or dict cast makes a copy, which the data then holds */
            if (f->type == &PyList_Type || f->type == &PyDict_Type) {
                PyObject *copy = f->type == &PyList_Type ? PyList_GetSlice(v, 0, PY_SSIZE_T_MAX) : PyDict_Copy(v);
                int err = copy ? PyDict_SetItem(data, f->key, copy) : -1;
                Py_XDECREF(copy);
                if (err < 0) goto fail;
            }
            continue;
        }
        PyObject *nested = v == Py_None && f->optional ? Py_NewRef(v)
                           : f->kind == NODE_MODEL     ? node_build(f->child, v)
                                                       : node_list(f->child, v);
        int err = nested ? PyDict_SetItem(node->compounds, f->key, nested) : -1;
        Py_XDECREF(nested);
        if (err < 0) goto fail;
    }
    return (PyObject *)node;
fail:
    Py_DECREF(node);
    return NULL;
}

/* node_shape(((key, kind, type or child shape or None, optional), ...)) -> a shape for node_build.  Shapes live until
 * the process ends (a bench makes a few). */
static PyObject *make_node_shape(PyObject *module, PyObject *declared) {
    (void)module;
    if (!PyTuple_Check(declared)) {
        PyErr_SetString(PyExc_TypeError, "a tuple of field tuples");
        return NULL;
    }
    Py_ssize_t n = PyTuple_GET_SIZE(declared);
    if (n > MAX_NODE_FIELDS) {
        PyErr_SetString(PyExc_OverflowError, "too many fields");
        return NULL;
    }
    NodeShape *shape = PyMem_Calloc(1, sizeof(NodeShape));
    NodeField *fields = PyMem_Calloc(n ? n : 1, sizeof(NodeField));
    if (!shape || !fields) return PyErr_NoMemory();
    shape->n = n;
    shape->fields = fields;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *key, *arg;
        int kind, optional;
        if (!PyArg_ParseTuple(PyTuple_GET_ITEM(declared, i), "UiOp", &key, &kind, &arg, &optional)) return NULL;
        Py_INCREF(key);
        PyUnicode_InternInPlace(&key);
        fields[i].key = key;
        fields[i].kind = kind;
        fields[i].optional = optional;
        if (kind == NODE_PLAIN) {
            fields[i].type = PyType_Check(arg) ? (PyTypeObject *)Py_NewRef(arg) : NULL;
        } else if (!(fields[i].child = PyCapsule_GetPointer(arg, kShapeCapsule))) {
            return NULL;
        }
    }
    return PyCapsule_New(shape, kShapeCapsule, NULL);
}

/* node_build(shape, data) -> the instance for data. */
static PyObject *build_node(PyObject *module, PyObject *const *args, Py_ssize_t nargs) {
    (void)module;
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "node_build(shape, data)");
        return NULL;
    }
    const NodeShape *shape = PyCapsule_GetPointer(args[0], kShapeCapsule);
    return shape ? node_build(shape, args[1]) : NULL;
}

static PyMethodDef methods[] = {
    {"field", make_field, METH_VARARGS, NULL},
    {"node_shape", make_node_shape, METH_O, NULL},
    {"node_build", (PyCFunction)(void (*)(void))build_node, METH_FASTCALL, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_floor", NULL, -1, methods,
                                        NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit__floor(void) {
    if (PyType_Ready(&RecordType) < 0 || PyType_Ready(&FieldType) < 0 || PyType_Ready(&NodeType) < 0)
        return NULL;
    PyObject *m = PyModule_Create(&module_def);
    if (!m) return NULL;
    Py_INCREF(&RecordType);
    if (PyModule_AddObject(m, "Record", (PyObject *)&RecordType) < 0) {
        Py_DECREF(&RecordType);
        Py_DECREF(m);
        return NULL;
    }
    return m;
}
