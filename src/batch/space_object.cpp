// nuvra._batch.Space and default_space().
#include "space_object.hpp"

#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "ref.hpp"
#include "semv/default_space.hpp"
#include "state.hpp"
#include "str_units.hpp"

namespace nuvra::batch {

namespace {

// What a Space object owns: the core's space, the scratch its per-call
// methods use, which the interpreter lock keeps to one thread at a time, and
// the scratches that columns filled in it keep.
struct Holder {
  std::shared_ptr<const semv::Space> space;
  semv::SpaceScratch scratch;
  Kept<semv::SpaceScratch> pool;  // for columns filled in the space
};

struct SpaceObject {
  PyObject_HEAD
  Holder* holder;
};

Holder& holder_of(PyObject* self) {
  return *reinterpret_cast<SpaceObject*>(self)->holder;
}

// A str as UTF-8; false with the exception set.
bool utf8_of(PyObject* object, const char* what, std::string& out) {
  if (!PyUnicode_Check(object)) {
    PyErr_Format(PyExc_TypeError, "Space(): %s must be a str, not %.100s", what, Py_TYPE(object)->tp_name);
    return false;
  }
  Py_ssize_t size = 0;
  const char* bytes = PyUnicode_AsUTF8AndSize(object, &size);
  if (!bytes) return false;
  out.assign(bytes, static_cast<std::size_t>(size));
  return true;
}

// One axis from (name, [keyword, ...], threshold); false with the exception set.
bool axis_of(PyObject* item, semv::AxisSpec& axis) {
  if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 3) {
    PyErr_SetString(PyExc_TypeError, "Space(): each axis must be a tuple (name, keywords, threshold)");
    return false;
  }
  if (!utf8_of(PyTuple_GET_ITEM(item, 0), "an axis name", axis.name)) return false;
  const Ref keywords(
      PySequence_Fast(PyTuple_GET_ITEM(item, 1), "Space(): keywords must be a sequence of str"));
  if (!keywords) return false;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(keywords.get());
  axis.keywords.resize(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i)
    if (!utf8_of(PySequence_Fast_GET_ITEM(keywords.get(), i), "a keyword", axis.keywords[i])) return false;
  axis.threshold = PyFloat_AsDouble(PyTuple_GET_ITEM(item, 2));
  return !(axis.threshold == -1.0 && PyErr_Occurred());
}

// The problems of a space, one line each, as a ValueError.
void raise_problems(const semv::SpaceSpec& spec, const std::vector<semv::SpaceProblem>& problems) {
  std::string message = "invalid space:";
  for (const semv::SpaceProblem& p : problems) {
    message += "\n  ";
    if (p.axis != semv::SpaceProblem::no_index) {
      message += "axis " + std::to_string(p.axis);
      if (!spec.axes[p.axis].name.empty()) message += " (" + spec.axes[p.axis].name + ")";
      if (p.keyword != semv::SpaceProblem::no_index) message += ", keyword " + std::to_string(p.keyword);
      message += ": ";
    }
    message += p.what;
  }
  PyErr_SetString(PyExc_ValueError, message.c_str());
}

// A new space object of `type` for `spec`; null with the exception set.
PyObject* new_space(PyTypeObject* type, const semv::SpaceSpec& spec, semv::Tables tables) {
  semv::SpaceBuild build = semv::build_space(spec, tables);
  if (build.out_of_memory) return PyErr_NoMemory();
  if (!build.space) {
    raise_problems(spec, build.problems);
    return nullptr;
  }
  auto holder = std::make_unique<Holder>();
  holder->space = std::move(build.space);
  if (!holder->scratch.bind(*holder->space)) return PyErr_NoMemory();
  auto* self = reinterpret_cast<SpaceObject*>(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  self->holder = holder.release();
  return reinterpret_cast<PyObject*>(self);
}

PyObject* space_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject *axes = nullptr, *split = nullptr, *fold = nullptr;
  int general = 0;
  static const char* names[] = {"axes", "split", "fold", "general", nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|$p:Space", const_cast<char**>(names), &axes, &split,
                                   &fold, &general))
    return nullptr;
  try {
    semv::SpaceSpec spec;
    const int split_on = PyObject_IsTrue(split), fold_on = PyObject_IsTrue(fold);
    if (split_on < 0 || fold_on < 0) return nullptr;
    spec.split = split_on;
    spec.fold = fold_on;
    const Ref items(PySequence_Fast(axes, "Space(): axes must be a sequence of (name, keywords, threshold)"));
    if (!items) return nullptr;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    spec.axes.resize(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i)
      if (!axis_of(PySequence_Fast_GET_ITEM(items.get(), i), spec.axes[i])) return nullptr;
    return new_space(type, spec, general ? semv::Tables::general : semv::Tables::best);
  } catch (const std::exception&) {
    return PyErr_NoMemory();  // what the conversions above can throw is an allocation's
  }
}

void space_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<SpaceObject*>(self)->holder;
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* float_list(const double* values, std::size_t k) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(k)));
  if (!list) return nullptr;
  for (std::size_t a = 0; a < k; ++a) {
    PyObject* item = PyFloat_FromDouble(values[a]);
    if (!item) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(a), item);
  }
  return list.release();
}

// The one str argument of a method; null with TypeError set.
PyObject* str_argument(PyObject* arg, const char* method) {
  if (PyUnicode_Check(arg)) return arg;
  PyErr_Format(PyExc_TypeError, "%s() expected a str, got %.100s", method, Py_TYPE(arg)->tp_name);
  return nullptr;
}

// word_vector(word): the vector of a normalised word (folded, lower-cased,
// stripped by the caller).
PyObject* space_word_vector(PyObject* self, PyObject* arg) {
  if (!str_argument(arg, "word_vector")) return nullptr;
  Holder& h = holder_of(self);
  double out[semv::max_space_axes];
  if (!with_units(arg, [&](auto units) { return h.space->word_vector(units, out, h.scratch); }))
    return PyErr_NoMemory();
  return float_list(out, h.space->axis_count());
}

PyObject* space_text_vector(PyObject* self, PyObject* arg) {
  if (!str_argument(arg, "text_vector")) return nullptr;
  Holder& h = holder_of(self);
  double out[semv::max_space_axes];
  with_units(arg, [&](auto units) { h.space->text_vector(units, out, h.scratch); });
  return float_list(out, h.space->axis_count());
}

// explain(text): [(token, start, axis, keyword, how, score), ...], keyword
// as its index in its axis's list.
PyObject* space_explain(PyObject* self, PyObject* arg) {
  if (!str_argument(arg, "explain")) return nullptr;
  Holder& h = holder_of(self);
  std::vector<semv::Space::Explained> records;
  const bool done = with_units(arg, [&](auto units) { return h.space->explain(units, records, h.scratch); });
  if (!done) return PyErr_NoMemory();
  Ref list(PyList_New(static_cast<Py_ssize_t>(records.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const semv::Space::Explained& r = records[i];
    PyObject* item = Py_BuildValue("(s#nnnsd)", r.token.data(), static_cast<Py_ssize_t>(r.token.size()),
                                   static_cast<Py_ssize_t>(r.start), static_cast<Py_ssize_t>(r.axis),
                                   static_cast<Py_ssize_t>(h.space->index_in_axis(r.match.keyword)),
                                   r.match.prefix ? "prefix" : "bigrams", r.match.score);
    if (!item) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* space_k(PyObject* self, void*) {
  return PyLong_FromSize_t(holder_of(self).space->axis_count());
}

// Everything the space holds: its tables, the scratch of its per-call
// methods, and the scratches kept for columns filled in it.
PyObject* space_nbytes(PyObject* self, void*) {
  const Holder& h = holder_of(self);
  return PyLong_FromSize_t(h.space->memory() + h.scratch.memory() + h.pool.memory());
}

PyObject* space_table_bytes(PyObject* self, void*) {
  return PyLong_FromSize_t(holder_of(self).space->memory());
}

PyObject* space_kept_bytes(PyObject* self, void*) {
  return PyLong_FromSize_t(holder_of(self).pool.memory());
}

// release(): frees the scratches kept for columns; the bytes freed.
PyObject* space_release(PyObject* self, PyObject*) {
  return PyLong_FromSize_t(holder_of(self).pool.release());
}

PyObject* space_on_fixed_tables(PyObject* self, void*) {
  return PyBool_FromLong(holder_of(self).space->fixed_tables() != nullptr);
}

PyObject* str_of(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// axes: [(name, [keyword, ...], threshold), ...], as the space was built.
PyObject* space_axes(PyObject* self, void*) {
  const semv::SpaceSpec& spec = holder_of(self).space->spec();
  Ref axes(PyList_New(static_cast<Py_ssize_t>(spec.axes.size())));
  if (!axes) return nullptr;
  for (std::size_t a = 0; a < spec.axes.size(); ++a) {
    const semv::AxisSpec& axis = spec.axes[a];
    Ref keywords(PyList_New(static_cast<Py_ssize_t>(axis.keywords.size())));
    if (!keywords) return nullptr;
    for (std::size_t i = 0; i < axis.keywords.size(); ++i) {
      PyObject* word = str_of(axis.keywords[i]);
      if (!word) return nullptr;
      PyList_SET_ITEM(keywords.get(), static_cast<Py_ssize_t>(i), word);
    }
    const Ref name(str_of(axis.name));
    if (!name) return nullptr;
    PyObject* item = Py_BuildValue("(OOd)", name.get(), keywords.get(), axis.threshold);
    if (!item) return nullptr;
    PyList_SET_ITEM(axes.get(), static_cast<Py_ssize_t>(a), item);
  }
  return axes.release();
}

PyMethodDef space_methods[] = {
    {"word_vector", space_word_vector, METH_O, "word_vector(word): the vector of a normalised word."},
    {"text_vector", space_text_vector, METH_O, "text_vector(text): the vector of a text."},
    {"explain", space_explain, METH_O,
     "explain(text): [(token, start, axis, keyword, how, score), ...] for each token and axis that scored."},
    {"release", space_release, METH_NOARGS,
     "release(): frees the scratches kept from call to call for columns; the bytes freed."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef space_getset[] = {
    {"k", space_k, nullptr, "The number of axes.", nullptr},
    {"nbytes", space_nbytes, nullptr,
     "Bytes the space holds: its tables, its per-call scratch and the scratches kept for columns.", nullptr},
    {"table_bytes", space_table_bytes, nullptr, "Bytes of the tables the space owns.", nullptr},
    {"kept_bytes", space_kept_bytes, nullptr, "Bytes of the scratches kept from call to call for columns.",
     nullptr},
    {"axes", space_axes, nullptr, "The axes as [(name, [keyword, ...], threshold), ...].", nullptr},
    {"on_fixed_tables", space_on_fixed_tables, nullptr,
     "Whether the space runs on the fixed table layout (built from its own lists).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot space_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(space_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(space_dealloc)},
    {Py_tp_methods, space_methods},
    {Py_tp_getset, space_getset},
    {Py_tp_doc,
     const_cast<char*>("Space(axes, split, fold, *, general=False): a space compiled into the core's tables; "
                       "general=True keeps it off the fixed tables even where it fits them.")},
    {0, nullptr}};

PyType_Spec space_type_spec = {"nuvra._batch.Space", sizeof(SpaceObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, space_slots};

}  // namespace

PyType_Spec* space_spec() {
  return &space_type_spec;
}

const semv::Space* space_of(State& state, PyObject* object, Kept<semv::SpaceScratch>** pool) {
  if (Py_IS_TYPE(object, state.space_type)) {
    if (pool) *pool = &holder_of(object).pool;
    return holder_of(object).space.get();
  }
  PyErr_Format(PyExc_TypeError, "expected a nuvra._batch.Space, got %.100s", Py_TYPE(object)->tp_name);
  return nullptr;
}

PyObject* new_default_space(State& state) {
  try {
    return new_space(state.space_type, semv::default_space_spec(), semv::Tables::best);
  } catch (const std::exception&) {
    return PyErr_NoMemory();
  }
}

PyObject* default_space(PyObject* module, PyObject* const*, Py_ssize_t nargs) {
  if (nargs != 0) {
    PyErr_SetString(PyExc_TypeError, "default_space() takes no arguments");
    return nullptr;
  }
  return Py_NewRef(state_of(module).default_space);
}

}  // namespace nuvra::batch
