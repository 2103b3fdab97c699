// nuvra._batch: the batch engine under nuvra's batch functions. It reads
// whole columns in place and scores them on several threads without the
// interpreter lock; nuvra/batch.py is its Python face.
#include <string_view>

#include "column.hpp"
#include "format.hpp"
#include "python.hpp"
#include "scores.hpp"
#include "sources.hpp"
#include "space_object.hpp"
#include "words.hpp"

namespace nuvra::batch {

namespace {

template <PyObject* (*F)(PyObject*, PyObject* const*, Py_ssize_t)>
PyCFunction fastcall() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

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
     "float_rows(rows, out, name): the rows of 3 numbers of a tuple into out, read as cosine_similarity_c "
     "reads them."},
    {"cosines", fastcall<cosines>(), METH_FASTCALL,
     "cosines(vectors, q0, q1, q2, out): the cosine of each row of vectors with the query, into out."},
    {"cosines_k", fastcall<cosines_k>(), METH_FASTCALL,
     "cosines_k(vectors, query, out): the cosine of each row of an (n, k) buffer with k query values, into "
     "out."},
    {"default_axes", fastcall<default_axes>(), METH_FASTCALL,
     "default_axes(): the fixed space's axes as [(name, [keyword, ...], threshold), ...]."},
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

int add_type(PyObject* module, PyType_Spec* spec, PyTypeObject*& type) {
  if (!type && !(type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(spec)))) return -1;
  return PyModule_AddObjectRef(module, spec->name + std::string_view("nuvra._batch.").size(),
                               reinterpret_cast<PyObject*>(type));
}

int exec(PyObject* module) {
  if (init_sources() < 0) return -1;
  if (add_type(module, column_spec(), column_type) < 0) return -1;
  if (add_type(module, space_spec(), space_type) < 0) return -1;
  return add_type(module, arrow_source_spec(), arrow_source_type);
}

PyModuleDef_Slot slots[] = {{Py_mod_exec, reinterpret_cast<void*>(exec)},
                            {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
                            {0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT,
                          "nuvra._batch",
                          "The batch engine: whole columns scored in place, without the interpreter lock.",
                          0,
                          methods,
                          slots,
                          nullptr,
                          nullptr,
                          nullptr};

}  // namespace

}  // namespace nuvra::batch

PyMODINIT_FUNC PyInit__batch() {
  return PyModuleDef_Init(&nuvra::batch::module_def);
}
