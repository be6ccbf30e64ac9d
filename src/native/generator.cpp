#include "generator.hpp"

#include "boundary.hpp"

namespace varnel {

PyObject* GeneratorBody::stats(bool) {
    PyErr_SetString(PyExc_TypeError, "this stream keeps no statistics");
    return nullptr;
}

namespace {

enum class State { Created, Suspended, Running, Finished };

struct GeneratorObject {
    PyObject_HEAD
    GeneratorBody* body;
    PyObject* name;
    PyObject* qualname;
    State state;
};

PyTypeObject* generator_type = nullptr;  // made once per extension module

GeneratorObject* as_generator(PyObject* self) { return reinterpret_cast<GeneratorObject*>(self); }

PyObject* raise_already_executing() {
    PyErr_SetString(PyExc_ValueError, "generator already executing");
    return nullptr;
}

// Ends the stream: the body releases what it holds; any pending exception stays pending.
void finish(GeneratorObject* gen) {
    gen->state = State::Finished;
    gen->body->finish();
}

// A StopIteration leaving the body would end the caller's loop silently; say what happened instead.
void replace_escaped_stop_iteration() {
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return;
    PyObject* stop = PyErr_GetRaisedException();
    PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
    PyObject* error = PyErr_GetRaisedException();
    PyException_SetCause(error, Py_NewRef(stop));
    PyException_SetContext(error, stop);
    PyErr_SetRaisedException(error);
}

// A C++ exception from the body ends the stream like any other error, never half-way.
PyObject* call_body(GeneratorBody* body) {
    try {
        return body->next_item();
    } catch (...) {
        raise_for_native_exception();
        return nullptr;
    }
}

// One step of the body: yields the next item, or finishes the generator. Null with no
// exception set means the stream has ended normally.
PyObject* advance(GeneratorObject* gen) {
    gen->state = State::Running;
    Ref keep_alive = Ref::borrow(reinterpret_cast<PyObject*>(gen));  // the body may release the lock
    PyObject* item = call_body(gen->body);
    if (item != nullptr) {
        gen->state = State::Suspended;
        return item;
    }
    finish(gen);
    if (PyErr_Occurred()) replace_escaped_stop_iteration();
    return nullptr;
}

PyObject* generator_iternext(PyObject* self) {
    GeneratorObject* gen = as_generator(self);
    if (gen->state == State::Running) return raise_already_executing();
    if (gen->state == State::Finished) return nullptr;
    return advance(gen);
}

// cppcheck-suppress constParameter ; METH_O fixes the signature
PyObject* generator_send(PyObject* self, PyObject* value) {
    GeneratorObject* gen = as_generator(self);
    if (gen->state == State::Created && value != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
        return nullptr;
    }
    PyObject* item = generator_iternext(self);
    if (item == nullptr && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
    return item;
}

// Sets the exception that throw() was asked to raise; false when the arguments are wrong.
bool set_thrown_exception(PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, nargs < 1 ? "throw expected at least 1 argument, got %zd"
                                                : "throw expected at most 3 arguments, got %zd",
                     nargs);
        return false;
    }
    PyObject* type = args[0];
    PyObject* value = nargs > 1 ? args[1] : Py_None;
    PyObject* traceback = nargs > 2 ? args[2] : Py_None;
    if (nargs > 1 && PyErr_WarnEx(PyExc_DeprecationWarning,
                                  "the (type, exc, tb) signature of throw() is deprecated, "
                                  "use the single-arg signature instead.",
                                  1) < 0) {
        return false;
    }
    if (traceback != Py_None && !PyTraceBack_Check(traceback)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return false;
    }
    if (PyExceptionClass_Check(type)) {
        PyErr_SetObject(type, value);
    } else if (PyExceptionInstance_Check(type)) {
        if (value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return false;
        }
        PyErr_SetRaisedException(Py_NewRef(type));
    } else {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(type)->tp_name);
        return false;
    }
    if (traceback != Py_None) {
        PyObject* error = PyErr_GetRaisedException();
        PyException_SetTraceback(error, traceback);
        PyErr_SetRaisedException(error);
    }
    return true;
}

// The exception is raised where the body is suspended; the body catches nothing, so it
// finishes and the exception goes on to the caller.
PyObject* generator_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    GeneratorObject* gen = as_generator(self);
    if (gen->state == State::Running) return raise_already_executing();
    if (!set_thrown_exception(args, nargs)) return nullptr;
    State before = gen->state;
    if (before != State::Finished) finish(gen);
    if (before == State::Suspended) replace_escaped_stop_iteration();
    return nullptr;
}

PyObject* generator_close(PyObject* self, PyObject*) {
    GeneratorObject* gen = as_generator(self);
    if (gen->state == State::Running) return raise_already_executing();
    if (gen->state != State::Finished) finish(gen);
    Py_RETURN_NONE;
}

// A suspended generator that is dropped is closed, so its handle is released.
void generator_finalize(PyObject* self) {
    GeneratorObject* gen = as_generator(self);
    if (gen->state != State::Suspended) return;
    PyObject* pending = PyErr_GetRaisedException();
    finish(gen);
    PyErr_SetRaisedException(pending);
}

int generator_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    GeneratorObject* gen = as_generator(self);
    return gen->body ? gen->body->traverse(visit, arg) : 0;
}

void delete_body(GeneratorObject* gen) {
    delete gen->body;
    gen->body = nullptr;
}

int generator_clear(PyObject* self) {
    GeneratorObject* gen = as_generator(self);
    if (gen->state == State::Running) return 0;
    if (gen->state != State::Finished) finish(gen);
    delete_body(gen);
    return 0;
}

void generator_dealloc(PyObject* self) {
    GeneratorObject* gen = as_generator(self);
    PyObject_GC_UnTrack(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    if (gen->state != State::Finished && gen->body) finish(gen);
    delete_body(gen);
    Py_CLEAR(gen->name);
    Py_CLEAR(gen->qualname);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyObject* generator_repr(PyObject* self) {
    return PyUnicode_FromFormat("<generator object %U at %p>", as_generator(self)->qualname, self);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_generator(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_generator(self)->qualname); }
PyObject* get_running(PyObject* self, void*) {
    return PyBool_FromLong(as_generator(self)->state == State::Running);
}
PyObject* get_suspended(PyObject* self, void*) {
    return PyBool_FromLong(as_generator(self)->state == State::Suspended);
}
PyObject* get_read_position(PyObject* self, void*) {
    GeneratorObject* gen = as_generator(self);
    PyObject* position = gen->body ? gen->body->read_position() : nullptr;
    if (position == nullptr && !PyErr_Occurred()) Py_RETURN_NONE;
    return position;
}

// A snapshot, also from another thread while one reads, and after the end.
PyObject* generator_stats(PyObject* self, PyObject*) {
    GeneratorObject* gen = as_generator(self);
    if (gen->body == nullptr) {
        PyErr_SetString(PyExc_ValueError, "the stream was cleared");
        return nullptr;
    }
    return gen->body->stats(gen->state == State::Running);
}

PyMethodDef generator_methods[] = {
    method<generator_send>("send", METH_O, "send(value) -> the next item; the value is ignored."),
    method<generator_throw>("throw", METH_FASTCALL,
                            "throw(value) -> raise the exception where the generator is suspended; it ends the "
                            "stream."),
    method<generator_close>("close", METH_NOARGS, "close() -> None. End the stream and release its capture."),
    method<generator_stats>("stats", METH_NOARGS,
                            "stats() -> dict of the frames read, decoded and skipped by reason, and libpcap's "
                            "received/dropped/if_dropped counters of a live device (None for files)."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef generator_getset[] = {
    getter<get_name>("__name__", "name of the generator"),
    getter<get_qualname>("__qualname__", "qualified name of the generator"),
    getter<get_running>("gi_running", "True while the generator is producing an item"),
    getter<get_suspended>("gi_suspended", "True while the generator waits at an item"),
    getter<get_read_position>("read_position",
                              "bytes of the capture file read so far; None for a live capture or before the file "
                              "is open"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

bool register_as_abc_generator(PyObject* type) {
    // _collections_abc is loaded at interpreter start-up, so this imports nothing new.
    Ref abc = Ref::steal(PyImport_ImportModule("_collections_abc"));
    if (!abc) return false;
    Ref generator_abc = Ref::steal(PyObject_GetAttrString(abc.get(), "Generator"));
    if (!generator_abc) return false;
    Ref registered = Ref::steal(PyObject_CallMethod(generator_abc.get(), "register", "O", type));
    return static_cast<bool>(registered);
}

}  // namespace

PyObject* new_generator(std::unique_ptr<GeneratorBody> body, PyObject* name, PyObject* qualname) {
    GeneratorObject* gen = PyObject_GC_New(GeneratorObject, generator_type);
    if (gen == nullptr) return nullptr;
    gen->body = body.release();
    gen->name = Py_NewRef(name);
    gen->qualname = Py_NewRef(qualname);
    gen->state = State::Created;
    PyObject_GC_Track(gen);
    return reinterpret_cast<PyObject*>(gen);
}

bool ready_generator_type() {
    if (generator_type != nullptr) return true;
    static PyType_Slot slots[] = {
        data_slot(Py_tp_doc, "Native generator of a varnel capture or feature stream."),
        slot<generator_dealloc>(Py_tp_dealloc),
        slot<generator_finalize>(Py_tp_finalize),
        slot<generator_traverse>(Py_tp_traverse),
        slot<generator_clear>(Py_tp_clear),
        slot<generator_repr>(Py_tp_repr),
        data_slot(Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)),
        slot<generator_iternext>(Py_tp_iternext),
        data_slot(Py_tp_methods, generator_methods),
        data_slot(Py_tp_getset, generator_getset),
        {0, nullptr},
    };
    // Immutable, like every type of the package: patching a method would change every stream.
    static PyType_Spec type_spec = {"varnel.generator", sizeof(GeneratorObject), 0,
                                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
                                        Py_TPFLAGS_IMMUTABLETYPE,
                                    slots};
    Ref type = Ref::steal(PyType_FromSpec(&type_spec));
    if (!type || !register_as_abc_generator(type.get())) return false;
    generator_type = reinterpret_cast<PyTypeObject*>(type.release());  // kept for the module's life
    return true;
}

}  // namespace varnel
