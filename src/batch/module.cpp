// nuvra._batch: the batch engine under nuvra's batch functions. It reads
// whole columns in place and scores them on several threads without the
// interpreter lock; nuvra/batch.py is its Python face.
#include <string>
#include <string_view>
#include <utility>

#include "column.hpp"
#include "fastcall.hpp"
#include "grouper_object.hpp"
#include "python.hpp"
#include "ref.hpp"
#include "row_writer.hpp"
#include "scores.hpp"
#include "semv/characters.hpp"
#include "semv/space.hpp"
#include "sources.hpp"
#include "space_object.hpp"
#include "state.hpp"
#include "words.hpp"

namespace nuvra::batch {

namespace {

PyMethodDef methods[] = {
    {"sequence_column", fastcall<sequence_column>(), METH_FASTCALL,
     "sequence_column(items, words, name, base, na): a column of a list or tuple of str."},
    {"ucs4_column", fastcall<ucs4_column>(), METH_FASTCALL,
     "ucs4_column(units, words): a column of a numpy str array seen as (n, width) uint32."},
    {"lines_column", fastcall<lines_column>(), METH_FASTCALL,
     "lines_column(data, check, encoding, errors): a column of the lines of a bytes-like object."},
    {"arrow_source", fastcall<arrow_source>(), METH_FASTCALL,
     "arrow_source(exported): an Arrow string column from __arrow_c_array__() or __arrow_c_stream__()."},
    {"float_rows", fastcall<float_rows>(), METH_FASTCALL,
     "float_rows(rows, out, k, name): the rows of k numbers of a tuple into out, read as cosine_similarity_c "
     "reads them."},
    {"cosines", fastcall<cosines>(), METH_FASTCALL,
     "cosines(vectors, query, out): the cosine of each row of an (n, k) buffer with k query values, into "
     "out."},
    {"header_length", fastcall<header_length>(), METH_FASTCALL,
     "header_length(line): where the header in front of a log line ends (0 for none), in code points."},
    {"message_start", fastcall<message_start>(), METH_FASTCALL,
     "message_start(line): where the part of a log line worth scoring starts: after its header, or at its "
     "severe level (ERROR, WARN, ...), in code points."},
    {"message_column", fastcall<message_column>(), METH_FASTCALL,
     "message_column(column, workers): the rows of a text column, each without the header in front of its "
     "line (whole where none is recognised), as views into the same storage."},
    {"default_space", fastcall<default_space>(), METH_FASTCALL,
     "default_space(): the default space (faults, security, data), compiled once per module."},
    {"top", fastcall<top>(), METH_FASTCALL,
     "top(scores, k): the rows of the k best scores, best first, and how many rows share the k-th."},
    {"count_above", fastcall<count_above>(), METH_FASTCALL,
     "count_above(scores, floor): how many scores are above floor (NaN never is)."},
    {"line_spans", fastcall<line_spans>(), METH_FASTCALL,
     "line_spans(data, rows): (begin, end) of each of the given lines (in ascending order) in data."},
    {"shared_words", fastcall<shared_words>(), METH_FASTCALL,
     "shared_words(column, rows, words, fold): for each of the rows of a text column, how many of the words "
     "(lower-case a-z, 0-9, _) it holds as whole words, compared lower-cased (Turkish letters folded with "
     "fold)."},
    {"format_rows", fastcall<format_rows>(), METH_FASTCALL,
     "format_rows(style, texts, vectors, k, first_line, line_width, line_prefix_chars, pieces, axis_cells, "
     "number_widths, write, workers): the rows of nuvra vectors as bytes, through write(bytes)."},
    {nullptr, nullptr, 0, nullptr}};

// A type of the module, made from its spec for this module object.
int add_type(PyObject* module, PyType_Spec* spec, PyTypeObject*& type) {
  type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, spec, nullptr));
  if (!type) return -1;
  return PyModule_AddObjectRef(module, spec->name + std::string_view("nuvra._batch.").size(),
                               reinterpret_cast<PyObject*>(type));
}

// The ASCII characters that `is` admits, as a str.
template <class Is>
PyObject* ascii_characters(Is is) {
  std::string chars;
  for (char32_t c = 0; c < 128; ++c)
    if (is(c)) chars += static_cast<char>(c);
  return PyUnicode_FromStringAndSize(chars.data(), static_cast<Py_ssize_t>(chars.size()));
}

// The Turkish fold as two str of equal length: the letters, and what each
// reads as (for str.maketrans).
PyObject* fold_table() {
  std::u16string from;
  std::string to;
  for (const semv::Fold& f : semv::turkish_fold) {
    from += f.from;
    to += f.to;
  }
  const Ref letters(PyUnicode_DecodeUTF16(reinterpret_cast<const char*>(from.data()),
                                          static_cast<Py_ssize_t>(from.size() * 2), "strict", nullptr));
  if (!letters) return nullptr;
  return Py_BuildValue("(Os#)", letters.get(), to.data(), static_cast<Py_ssize_t>(to.size()));
}

// The core's rules as the package reads them: the limits of a space, what
// tokens and keywords are made of, and the Turkish fold.
int add_rules(PyObject* module) {
  const std::pair<const char*, std::size_t> sizes[] = {
      {"MAX_AXES", semv::max_space_axes},
      {"MAX_KEYWORDS", semv::max_space_keywords},
      {"MIN_KEYWORD_LENGTH", semv::min_space_keyword_length},
      {"MAX_KEYWORD_LENGTH", semv::max_space_keyword_length}};
  for (const auto& [name, value] : sizes)
    if (PyModule_Add(module, name, PyLong_FromSize_t(value)) < 0) return -1;
  if (PyModule_Add(module, "DEFAULT_THRESHOLD", PyFloat_FromDouble(semv::default_space_threshold)) < 0)
    return -1;
  if (PyModule_Add(module, "TOKEN_CHARACTERS", ascii_characters(semv::is_token_char)) < 0) return -1;
  if (PyModule_Add(module, "KEYWORD_CHARACTERS", ascii_characters(semv::is_keyword_char)) < 0) return -1;
  return PyModule_Add(module, "TURKISH_FOLD", fold_table());
}

int exec(PyObject* module) {
  State& state = state_of(module);
  if (add_rules(module) < 0) return -1;
  if (add_type(module, column_spec(), state.column_type) < 0) return -1;
  if (add_type(module, space_spec(), state.space_type) < 0) return -1;
  if (add_type(module, arrow_source_spec(), state.arrow_source_type) < 0) return -1;
  if (add_type(module, grouper_spec(), state.grouper_type) < 0) return -1;
  PyObject* str = reinterpret_cast<PyObject*>(&PyUnicode_Type);
  if (!(state.str_lower = PyObject_GetAttrString(str, "lower"))) return -1;
  if (!(state.str_strip = PyObject_GetAttrString(str, "strip"))) return -1;
  state.default_space = new_default_space(state);
  return state.default_space ? 0 : -1;
}

int traverse(PyObject* module, visitproc visit, void* arg) {
  State& state = state_of(module);
  Py_VISIT(state.column_type);
  Py_VISIT(state.space_type);
  Py_VISIT(state.arrow_source_type);
  Py_VISIT(state.grouper_type);
  Py_VISIT(state.str_lower);
  Py_VISIT(state.str_strip);
  Py_VISIT(state.default_space);
  return 0;
}

int clear(PyObject* module) {
  State& state = state_of(module);
  Py_CLEAR(state.column_type);
  Py_CLEAR(state.space_type);
  Py_CLEAR(state.arrow_source_type);
  Py_CLEAR(state.grouper_type);
  Py_CLEAR(state.str_lower);
  Py_CLEAR(state.str_strip);
  Py_CLEAR(state.default_space);
  return 0;
}

void free_module(void* module) {
  clear(static_cast<PyObject*>(module));
}

// Every object of the module lives in its state, so each interpreter may
// have its own. The lock stays: a Space's per-call methods share one
// scratch, which the lock keeps to one thread at a time.
PyModuleDef_Slot slots[] = {{Py_mod_exec, reinterpret_cast<void*>(exec)},
                            {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
                            {Py_mod_gil, Py_MOD_GIL_USED},
                            {0, nullptr}};

}  // namespace

PyModuleDef module_def = {PyModuleDef_HEAD_INIT,
                          "nuvra._batch",
                          "The batch engine: whole columns scored in place, without the interpreter lock.",
                          sizeof(State),
                          methods,
                          slots,
                          traverse,
                          clear,
                          free_module};

}  // namespace nuvra::batch

PyMODINIT_FUNC PyInit__batch() {
  return PyModuleDef_Init(&nuvra::batch::module_def);
}
