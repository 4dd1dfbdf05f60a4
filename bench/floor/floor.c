/* The per-event object floor: builds exactly the Python objects that one
 * event dictionary from vorn consists of, and nothing else. No file is read,
 * so the time per event is what the objects themselves cost; vorn cannot go
 * below it.
 *
 * floor.events(n_events, n_samples, kind, channels=1) is an iterator of
 * n_events dicts. kind "WD1" gives the six int32 header keys and a uint16
 * "data" array of n_samples elements; "WD2" gives event_counter, timestamp,
 * samples, sampling_period, channels and a float32 array of
 * n_samples * channels elements. Header values follow bench/generate.py, so
 * the same ints are created (small-int cache hits included). The sample
 * buffer comes from malloc and is owned by a holder object set as the
 * array's base, freed when the holder dies. */

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

#include <stdint.h>
#include <stdlib.h>

/* Keep in step with bench/generate.py. */
#define WD1_BOARD_ID 7
#define WD1_TIMESTAMP_STEP 1000
#define WD2_PERIOD 5000
#define WD2_TIMESTAMP_BASE 123456789000ULL
#define WD2_TIMESTAMP_STEP 40000ULL

/* ---- holder ------------------------------------------------------------ */

typedef struct {
    PyObject_HEAD
    void *buffer;
} Holder;

static PyTypeObject *holder_type;

static void holder_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    free(((Holder *)self)->buffer);
    type->tp_free(self);
    Py_DECREF(type);
}

static PyType_Slot holder_slots[] = {
    {Py_tp_dealloc, holder_dealloc},
    {0, NULL},
};

static PyType_Spec holder_desc = {
    .name = "floor.Holder",
    .basicsize = sizeof(Holder),
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = holder_slots,
};

/* ---- iterator ---------------------------------------------------------- */

enum { KIND_WD1, KIND_WD2 };

typedef struct {
    PyObject_HEAD
    long long next;
    long long end;
    npy_intp n_samples;
    npy_intp elements;
    int kind;
    int channels;
} Events;

static int set_item(PyObject *dict, const char *name, Py_ssize_t len,
                    PyObject *value) {
    if (value == NULL) return -1;
    PyObject *key = PyUnicode_FromStringAndSize(name, len);
    if (key == NULL) {
        Py_DECREF(value);
        return -1;
    }
    int rc = PyDict_SetItem(dict, key, value);
    Py_DECREF(key);
    Py_DECREF(value);
    return rc;
}

#define SET(dict, literal, value) \
    set_item((dict), (literal), (Py_ssize_t)(sizeof(literal) - 1), (value))

static PyObject *sample_array(npy_intp elements, int type_number,
                              npy_intp element_size) {
    size_t bytes = (size_t)elements * (size_t)element_size;
    void *buffer = malloc(bytes ? bytes : 1);
    if (buffer == NULL) return PyErr_NoMemory();
    Holder *holder = (Holder *)PyType_GenericAlloc(holder_type, 0);
    if (holder == NULL) {
        free(buffer);
        return NULL;
    }
    holder->buffer = buffer;
    PyArray_Descr *descr = PyArray_DescrFromType(type_number);
    if (descr == NULL) {
        Py_DECREF(holder);
        return NULL;
    }
    npy_intp dims[1] = {elements};
    npy_intp strides[1] = {element_size};
    PyObject *array =
        PyArray_NewFromDescr(&PyArray_Type, descr, 1, dims, strides, buffer,
                             NPY_ARRAY_WRITEABLE, NULL);
    if (array == NULL) {
        Py_DECREF(holder);
        return NULL;
    }
    if (PyArray_SetBaseObject((PyArrayObject *)array, (PyObject *)holder) < 0) {
        Py_DECREF(array);
        return NULL;
    }
    return array;
}

static PyObject *events_next(PyObject *self) {
    Events *it = (Events *)self;
    if (it->next >= it->end) return NULL;
    long long i = it->next++;
    PyObject *dict = PyDict_New();
    if (dict == NULL) return NULL;
    int failed;
    if (it->kind == KIND_WD1) {
        failed =
            SET(dict, "event_size", PyLong_FromLong((int32_t)(24 + 2 * it->n_samples))) ||
            SET(dict, "board_id", PyLong_FromLong(WD1_BOARD_ID)) ||
            SET(dict, "pattern", PyLong_FromLong(0)) ||
            SET(dict, "board_channel", PyLong_FromLong((long)(i % 8))) ||
            SET(dict, "event_counter", PyLong_FromLong((int32_t)(uint32_t)i)) ||
            SET(dict, "timestamp",
                PyLong_FromLong((int32_t)(uint32_t)(i * WD1_TIMESTAMP_STEP))) ||
            SET(dict, "data", sample_array(it->elements, NPY_USHORT, 2));
    } else {
        failed =
            SET(dict, "event_counter", PyLong_FromUnsignedLong((uint32_t)i)) ||
            SET(dict, "timestamp",
                PyLong_FromUnsignedLongLong(WD2_TIMESTAMP_BASE +
                                            (unsigned long long)i * WD2_TIMESTAMP_STEP)) ||
            SET(dict, "samples", PyLong_FromUnsignedLong((uint32_t)it->n_samples)) ||
            SET(dict, "sampling_period", PyLong_FromUnsignedLongLong(WD2_PERIOD)) ||
            SET(dict, "channels", PyLong_FromLong(it->channels)) ||
            SET(dict, "data", sample_array(it->elements, NPY_FLOAT, 4));
    }
    if (failed) {
        Py_DECREF(dict);
        return NULL;
    }
    return dict;
}

static PyTypeObject events_type = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "floor.Events",
    .tp_basicsize = sizeof(Events),
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_iter = PyObject_SelfIter,
    .tp_iternext = events_next,
};

static PyObject *events(PyObject *module, PyObject *args, PyObject *kwargs) {
    static char *keywords[] = {"n_events", "n_samples", "kind", "channels", NULL};
    long long n_events;
    Py_ssize_t n_samples;
    const char *kind;
    int channels = 1;
    (void)module;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Lns|i", keywords,
                                     &n_events, &n_samples, &kind, &channels)) {
        return NULL;
    }
    int kind_id;
    if (strcmp(kind, "WD1") == 0) {
        kind_id = KIND_WD1;
        channels = 1;
    } else if (strcmp(kind, "WD2") == 0) {
        kind_id = KIND_WD2;
    } else {
        PyErr_Format(PyExc_ValueError, "unknown kind '%s'", kind);
        return NULL;
    }
    if (n_samples < 0 || channels < 1) {
        PyErr_SetString(PyExc_ValueError, "n_samples and channels out of range");
        return NULL;
    }
    Events *it = PyObject_New(Events, &events_type);
    if (it == NULL) return NULL;
    it->next = 0;
    it->end = n_events;
    it->n_samples = n_samples;
    it->elements = n_samples * channels;
    it->kind = kind_id;
    it->channels = channels;
    return (PyObject *)it;
}

static PyMethodDef methods[] = {
    {"events", (PyCFunction)(void (*)(void))events, METH_VARARGS | METH_KEYWORDS,
     "events(n_events, n_samples, kind, channels=1): iterator of event dicts"},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "floor", NULL, -1, methods,
};

PyMODINIT_FUNC PyInit_floor(void) {
    import_array();
    if (PyType_Ready(&events_type) < 0) return NULL;
    holder_type = (PyTypeObject *)PyType_FromSpec(&holder_desc);
    if (holder_type == NULL) return NULL;
    return PyModule_Create(&module_def);
}
