// The extension module tavotools._parse on the shared runtime: numeric blocks of
// record files parsed from any buffer with the interpreter lock released, into one
// float64 array, and ParseError, which carries the offset and the text of a
// malformed value.
#include <Python.h>

#define TAVO_IMPORT_ARRAY
#include "runtime/numpy.hpp"

#include <cstdint>
#include <iterator>

#include "kernels/parse.hpp"
#include "kernels/rounding.hpp"
#include "runtime/array_owner.hpp"
#include "runtime/binding.hpp"
#include "runtime/buffer.hpp"
#include "runtime/function.hpp"
#include "runtime/ref.hpp"
#include "runtime/traceback.hpp"

namespace tavo::parse {

/// The bytes to parse: any exporter's buffer, held for the call.
struct Data {
  runtime::HeldBuffer held;
};

/// An offset or a count: an integer (__index__) of 64 bits.
struct Integer {
  long long value;
};

/// Extra separator bytes: None, or a bytes-like object.
struct Delimiters {
  runtime::HeldBuffer held;
  bool given = false;
};

/// A flag: any object, by its truth.
struct Flag {
  bool value;
};

/// Any object, borrowed for the call.
struct Object {
  PyObject *obj;
};

} // namespace tavo::parse

namespace tavo::runtime {

template <> struct Arg<const parse::Data &> {
  parse::Data held;
  bool convert(PyObject *obj, const Param &) noexcept { return held.held.acquire_bytes(obj); }
};
template <> struct Arg<parse::Integer> {
  parse::Integer held;
  bool convert(PyObject *obj, const Param &p) noexcept {
    held.value = p.value.integer;
    if (obj == nullptr) return true;
    Ref index = Ref::steal(PyNumber_Index(obj));
    if (!index) return false;
    held.value = PyLong_AsLongLong(index.get());
    return !(held.value == -1 && PyErr_Occurred());
  }
};
template <> struct Arg<const parse::Delimiters &> {
  parse::Delimiters held;
  bool convert(PyObject *obj, const Param &) noexcept {
    if (obj == nullptr || obj == Py_None) return true;
    held.given = held.held.acquire_bytes(obj);
    return held.given;
  }
};
template <> struct Arg<parse::Object> {
  parse::Object held;
  bool convert(PyObject *obj, const Param &) noexcept {
    held.obj = obj;
    return true;
  }
};
template <> struct Arg<parse::Flag> {
  parse::Flag held;
  bool convert(PyObject *obj, const Param &p) noexcept {
    held.value = p.value.integer != 0;
    if (obj == nullptr) return true;
    const int truth = PyObject_IsTrue(obj);
    held.value = truth > 0;
    return truth >= 0;
  }
};

} // namespace tavo::runtime

namespace tavo::parse {
namespace {

using kernels::Bytes;
using kernels::ParseResult;
using kernels::ParseStatus;
using kernels::Separators;
using runtime::HeldBuffer;
using runtime::optional;
using runtime::required;

/// The ParseError class: created by the first start-up, kept for the process
/// (the module runs in the main interpreter only).
PyObject *ParseError = nullptr;

constexpr Py_ssize_t max_text = 64;  // characters of offending text kept in a ParseError

// ---- arguments -------------------------------------------------------------

/// The bytes [start, stop) of the buffer: `stop` -1 means the end.
bool check_range(const HeldBuffer &buf, long long start, long long &stop) noexcept {
  const long long size = buf.size();
  if (start < 0 || start > size) {
    PyErr_Format(PyExc_ValueError, "start must be from 0 to len(data) = %lld, not %lld", size, start);
    return false;
  }
  if (stop == -1) stop = size;
  if (stop < start || stop > size) {
    PyErr_Format(PyExc_ValueError,
                 "stop must be -1 or from start = %lld to len(data) = %lld, not %lld", start, size,
                 stop);
    return false;
  }
  return true;
}

/// count >= 0, or -1 (read all) where `all_allowed`.
bool check_count(long long count, bool all_allowed) noexcept {
  if (count >= 0 || (all_allowed && count == -1)) return true;
  PyErr_Format(PyExc_ValueError, all_allowed ? "count must be -1 or >= 0, not %lld"
                                             : "count must be >= 0, not %lld", count);
  return false;
}

bool check_positive(const char *name, long long value) noexcept {
  if (value >= 1) return true;
  PyErr_Format(PyExc_ValueError, "%s must be >= 1, not %lld", name, value);
  return false;
}

bool make_separators(const Delimiters &extra, Separators &seps) noexcept {
  if (!extra.given || seps.add(extra.held.data(), extra.held.size())) return true;
  PyErr_SetString(PyExc_ValueError,
                  "delimiters must not hold digits, signs, points, exponent letters or NUL bytes");
  return false;
}

// ---- results and errors ------------------------------------------------------

PyObject *new_array(int ndim, std::int64_t rows, std::int64_t columns) noexcept {
  npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(columns)};
  return PyArray_SimpleNew(ndim, dims, NPY_FLOAT64);
}

double *data_of(const Ref &array) noexcept {
  return static_cast<double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(array.get())));
}

/// What a failed parse was asked for, for its message.
struct Request {
  const char *unit;       // "numbers", "fields", "rows"
  std::int64_t count;     // values (rows) asked for; < 0 for all
  std::int64_t width;     // fixed: field width
  std::int64_t per_line;  // fixed: fields per line
  std::int64_t columns;   // columns: numbers per row
};

/// The reason a parse failed, without its position.
PyObject *reason_of(const ParseResult &r, const Request &q, PyObject *text, bool cut) noexcept {
  const char *more = cut ? "..." : "";
  switch (r.status) {
  case ParseStatus::not_a_number: return PyUnicode_FromFormat("%R%s is not a number", text, more);
  case ParseStatus::not_an_integer: return PyUnicode_FromFormat("%R%s is not an integer", text, more);
  case ParseStatus::out_of_range:
    return PyUnicode_FromFormat("%R%s exceeds the largest double", text, more);
  case ParseStatus::data_ends:
    return PyUnicode_FromFormat("data ends after %lld of %lld %s", (long long)r.values,
                                (long long)q.count, q.unit);
  case ParseStatus::blank_field:
    return PyUnicode_FromFormat("blank field where number %lld of %lld is expected",
                                (long long)r.values + 1, (long long)q.count);
  case ParseStatus::short_field:
    return PyUnicode_FromFormat("field %R is cut short: %lld of %lld characters", text,
                                (long long)r.length, (long long)q.width);
  case ParseStatus::short_line: {
    const long long expected = q.per_line < q.count - r.values + r.found
                                   ? q.per_line
                                   : q.count - r.values + r.found;
    if (r.found == 0)
      return PyUnicode_FromFormat("blank line where %lld field%s expected", expected,
                                  expected == 1 ? " is" : "s are");
    return PyUnicode_FromFormat("%lld value%s on a line of %lld", (long long)r.found,
                                r.found == 1 ? "" : "s", expected);
  }
  case ParseStatus::text_after:
    return PyUnicode_FromFormat("%R%s after the last field of the line", text, more);
  case ParseStatus::wrong_columns:
    return PyUnicode_FromFormat("line holds %lld number%s, not %lld", (long long)r.found,
                                r.found == 1 ? "" : "s", (long long)q.columns);
  default: return PyUnicode_FromString("unexpected parse status");
  }
}

/// The `kind` attribute of a ParseError: which fault, for readers that word it themselves.
const char *kind_of(ParseStatus status) noexcept {
  switch (status) {
  case ParseStatus::not_a_number: return "number";
  case ParseStatus::not_an_integer: return "integer";
  case ParseStatus::out_of_range: return "range";
  case ParseStatus::data_ends: return "end";
  case ParseStatus::blank_field: return "blank";
  case ParseStatus::short_field: return "cut";
  case ParseStatus::short_line: return "line";
  case ParseStatus::text_after: return "after";
  case ParseStatus::wrong_columns: return "columns";
  default: return "unknown";
  }
}

/// Raises ParseError(offset, text, index, reason, kind, found) for a failed parse; returns nullptr.
PyObject *raise_failure(const Bytes &bytes, const ParseResult &r, const Request &q) noexcept {
  if (r.status == ParseStatus::no_memory) {
    PyErr_Format(PyExc_MemoryError, "cannot allocate a copy of the %lld-byte number at offset %lld",
                 (long long)r.length, (long long)r.offset);
    return TAVO_FAIL_HERE();
  }
  const Py_ssize_t length = r.length < max_text ? Py_ssize_t(r.length) : max_text;
  const bool cut = r.length > max_text;
  // Latin-1: every byte is one character, so the text reads as in the file.
  Ref text = Ref::steal(PyUnicode_DecodeLatin1(bytes.data + r.offset, length, nullptr));
  if (!text) return TAVO_FAIL_HERE();
  Ref reason = Ref::steal(reason_of(r, q, text.get(), cut));
  if (!reason) return TAVO_FAIL_HERE();
  Ref message = Ref::steal(PyUnicode_FromFormat("offset %lld: %U", (long long)r.offset, reason.get()));
  if (!message) return TAVO_FAIL_HERE();
  PyObject *type = ParseError;
  Ref exc = Ref::steal(PyObject_CallOneArg(type, message.get()));
  if (!exc) return TAVO_FAIL_HERE();
  Ref offset = Ref::steal(PyLong_FromLongLong(r.offset));
  Ref index = Ref::steal(PyLong_FromLongLong(r.values));
  Ref kind = Ref::steal(PyUnicode_FromString(kind_of(r.status)));
  Ref found = Ref::steal(PyLong_FromLongLong(r.found));
  if (!offset || !index || !kind || !found ||
      PyObject_SetAttrString(exc.get(), "offset", offset.get()) < 0 ||
      PyObject_SetAttrString(exc.get(), "found", found.get()) < 0 ||
      PyObject_SetAttrString(exc.get(), "kind", kind.get()) < 0 ||
      PyObject_SetAttrString(exc.get(), "text", text.get()) < 0 ||
      PyObject_SetAttrString(exc.get(), "index", index.get()) < 0 ||
      PyObject_SetAttrString(exc.get(), "reason", reason.get()) < 0)
    return TAVO_FAIL_HERE();
  PyErr_SetObject(type, exc.get());
  return TAVO_FAIL_HERE();
}

PyObject *result(Ref array, std::int64_t end) noexcept {
  if (!array) return nullptr;
  return Py_BuildValue("(NL)", array.release(), static_cast<long long>(end));
}

// ---- entry points ----------------------------------------------------------------

PyObject *floats(const Data &data, Integer start_, Integer count_, Integer stop_,
                 const Delimiters &delimiters) noexcept {
  const long long start = start_.value, count = count_.value;
  long long stop = stop_.value;
  Separators seps;
  if (!check_range(data.held, start, stop) || !check_count(count, true) ||
      !make_separators(delimiters, seps))
    return TAVO_FAIL_HERE();
  const Bytes bytes{data.held.data(), stop};
  ParseResult r;
  std::int64_t n = count;
  // An unknown count is counted first (one allocation); a count the bytes
  // cannot hold fails in the same pass, before any allocation.
  if (count < 0) {  // one token per number, unless numbers run together
    Py_BEGIN_ALLOW_THREADS
    n = kernels::count_tokens(bytes, start, seps);
    Py_END_ALLOW_THREADS
  }
  if (n < 0 || count > kernels::max_numbers(stop - start)) {
    Py_BEGIN_ALLOW_THREADS
    r = kernels::parse_floats(bytes, start, count, seps, nullptr);
    Py_END_ALLOW_THREADS
    if (r.status != ParseStatus::ok || count >= 0)
      return raise_failure(bytes, r, {"numbers", count, 0, 0, 0});
    n = r.values;
  }
  Ref array = Ref::steal(new_array(1, n, 0));
  if (!array) return TAVO_FAIL_HERE();
  double *out = data_of(array);
  Py_BEGIN_ALLOW_THREADS
  r = kernels::parse_floats(bytes, start, n, seps, out);
  Py_END_ALLOW_THREADS
  if (r.status != ParseStatus::ok) return raise_failure(bytes, r, {"numbers", n, 0, 0, 0});
  return result(std::move(array), r.end);
}

PyObject *fixed(const Data &data, Integer start_, Integer count_, Integer width_,
                Integer per_line_, Flag integers) noexcept {
  const long long start = start_.value, count = count_.value, width = width_.value,
                  per_line = per_line_.value;
  long long stop = -1;
  if (!check_range(data.held, start, stop) || !check_count(count, false) ||
      !check_positive("width", width) || !check_positive("per_line", per_line))
    return TAVO_FAIL_HERE();
  const Bytes bytes{data.held.data(), stop};
  const Request request{"fields", count, width, per_line, 0};
  ParseResult r;
  if (count > (stop - start) / width) {  // cannot fit: find the failure without allocating
    Py_BEGIN_ALLOW_THREADS
    r = kernels::parse_fixed(bytes, start, count, width, per_line, integers.value, nullptr);
    Py_END_ALLOW_THREADS
    return raise_failure(bytes, r, request);
  }
  Ref array = Ref::steal(new_array(1, count, 0));
  if (!array) return TAVO_FAIL_HERE();
  double *out = data_of(array);
  Py_BEGIN_ALLOW_THREADS
  r = kernels::parse_fixed(bytes, start, count, width, per_line, integers.value, out);
  Py_END_ALLOW_THREADS
  if (r.status != ParseStatus::ok) return raise_failure(bytes, r, request);
  return result(std::move(array), r.end);
}

PyObject *columns(const Data &data, Integer start_, Integer n_columns_, Integer count_,
                  Integer stop_, const Delimiters &delimiters) noexcept {
  const long long start = start_.value, n_columns = n_columns_.value, count = count_.value;
  long long stop = stop_.value;
  Separators seps;
  if (!check_range(data.held, start, stop) || !check_positive("n_columns", n_columns) ||
      !check_count(count, true) || !make_separators(delimiters, seps))
    return TAVO_FAIL_HERE();
  const Bytes bytes{data.held.data(), stop};
  ParseResult r;
  std::int64_t rows = count;
  if (count < 0 || count > kernels::max_numbers(stop - start) / n_columns) {
    Py_BEGIN_ALLOW_THREADS
    r = kernels::parse_columns(bytes, start, n_columns, count, seps, nullptr);
    Py_END_ALLOW_THREADS
    if (r.status != ParseStatus::ok || count >= 0)
      return raise_failure(bytes, r, {"rows", count, 0, 0, n_columns});
    rows = r.values;
  }
  Ref array = Ref::steal(new_array(2, rows, n_columns));
  if (!array) return TAVO_FAIL_HERE();
  double *out = data_of(array);
  Py_BEGIN_ALLOW_THREADS
  r = kernels::parse_columns(bytes, start, n_columns, rows, seps, out);
  Py_END_ALLOW_THREADS
  if (r.status != ParseStatus::ok) return raise_failure(bytes, r, {"rows", rows, 0, 0, n_columns});
  return result(std::move(array), r.end);
}

PyObject *lone_cr(const Data &data) noexcept {
  const Bytes bytes{data.held.data(), data.held.size()};
  std::int64_t at;
  Py_BEGIN_ALLOW_THREADS
  at = kernels::first_lone_cr(bytes);
  Py_END_ALLOW_THREADS
  return PyLong_FromLongLong(at);
}

PyObject *rounding_to_nearest(Object func) noexcept {
  const kernels::NearestRounding nearest;
  PyObject *r = PyObject_CallNoArgs(func.obj);
  return r != nullptr ? r : TAVO_FAIL_HERE();
}

// ---- module ------------------------------------------------------------------------

runtime::ModuleInfo module_info{"tavotools._parse", &runtime::getargs_messages};

const runtime::FunctionDef functions[] = {
    runtime::define<floats>(
        "floats", module_info,
        "Numbers separated by whitespace (and the bytes of `delimiters`) in\n"
        "data[start:stop] (stop -1: the end).\n\n"
        "count >= 0 reads exactly that many (fewer is an error) and leaves what\n"
        "follows unread; count -1 reads every number up to stop, where any other\n"
        "text is an error. Returns (values, end): a float64 array and the offset\n"
        "just after the last number read (start when none).",
        required("data"), required("start"), optional("count", -1), optional("stop", -1),
        optional("delimiters", nullptr)),
    runtime::define<fixed>(
        "fixed", module_info,
        "`count` fixed-width fields of `width` bytes from data[start], `per_line`\n"
        "to a line (the block's last line may hold fewer). `start` is the start of\n"
        "the block's first line. Fields may run together (\"-999.00000-999.00000\");\n"
        "blanks around a number (space, tab, vertical tab, form feed, as float()\n"
        "strips them) are ignored; a blank field, a field cut short by the\n"
        "end of its line, a line with fewer fields (unless only blank lines follow:\n"
        "then the data ends there), or text after a line's last field is an error.\n"
        "integers=True: fields must be integers.\n"
        "Returns (values, end): a float64 array and the offset after the last field.",
        required("data"), required("start"), required("count"), required("width"),
        required("per_line"), optional("integers", false)),
    runtime::define<columns>(
        "columns", module_info,
        "Rows of `n_columns` numbers, one row per line (blank lines are skipped), in\n"
        "data[start:stop]. count >= 0 reads exactly that many rows; -1 reads every\n"
        "line up to stop. A line with another number of values is an error.\n"
        "Returns (values, end): a float64 array of shape (rows, n_columns) and the\n"
        "offset just after the last number read.",
        required("data"), required("start"), required("n_columns"), optional("count", -1),
        optional("stop", -1), optional("delimiters", nullptr)),
    runtime::define<lone_cr>(
        "lone_cr", module_info,
        "Offset of the first CR byte of `data` that no LF follows (an old Mac line\n"
        "end), or -1 when every CR is that of a CR LF.",
        required("data")),
    runtime::define<rounding_to_nearest>(
        "rounding_to_nearest", module_info,
        "func() computed rounding to nearest, whatever rounding mode the calling\n"
        "thread's C code left set; that mode is set again after it.",
        required("func")),
};

int parse_exec(PyObject *module) noexcept {
  if (_import_array() < 0) {
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_ImportError, "numpy.core.multiarray failed to import");
    return -1;
  }
  // Arrays whose buffers a call holds stay where they are while it runs.
  runtime::set_memory_owner(runtime::numpy_memory_owner);
  if (ParseError == nullptr) {
    ParseError = PyErr_NewExceptionWithDoc(
        "tavotools._parse.ParseError",
        "A malformed numeric block: a ValueError whose message is\n"
        "\"offset N: REASON\". Attributes: offset (byte offset of the offending\n"
        "text, or of the end of the data when values are missing), text (that text,\n"
        "latin-1, at most 64 characters), index (values, or rows, read before it),\n"
        "reason (the message without the offset), found (the numbers of the row,\n"
        "or the fields of the line, that a 'columns' or 'line' fault found; else 0)\n"
        "and kind: 'number', 'integer'\n"
        "(not one), 'range' (beyond the largest double), 'end' (the data ends\n"
        "first), 'blank' (a blank field), 'cut' (a field cut short by its line's\n"
        "end), 'line' (a line with fewer fields), 'after' (text after a line's last\n"
        "field) or 'columns' (a row of another width).",
        PyExc_ValueError, nullptr);
    if (ParseError == nullptr) return -1;
  }
  PyObject *globals = PyModule_GetDict(module);  // borrowed
  if (globals == nullptr || !runtime::init_function_type(module_info) ||
      !runtime::bind_functions(globals, functions, std::size(functions)))
    return -1;
  return PyModule_AddObjectRef(module, "ParseError", ParseError);
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(parse_exec)},
    // NumPy itself runs in the main interpreter only.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef parse_module = {
    PyModuleDef_HEAD_INIT,
    "_parse",
    "Numeric blocks of record files, parsed straight from bytes.\n\n"
    "Every function takes `data`, any object exporting a contiguous buffer\n"
    "(bytes, bytearray, memoryview, mmap), and byte offsets into it (64-bit).\n"
    "The numbers are parsed with the interpreter lock released while the\n"
    "buffer is held, into one float64 array, and each is the double that\n"
    "Python's float() gives for it (std::from_chars: correctly rounded).\n\n"
    "Syntax: [+-] digits [. digits] or [+-] . digits, with an optional exponent\n"
    "e, E, d or D [+-] digits, or a bare signed exponent as Fortran writes\n"
    "three-digit exponents (\"1.5-105\" is 1.5e-105). No inf, nan or '_'.\n"
    "A number below the smallest subnormal reads as a signed zero, as float()\n"
    "gives; one beyond the largest double is an error (float() would give inf).\n\n"
    "Errors: ParseError (a ValueError) with `offset`, `text`, `index` and\n"
    "`reason`; readers turn the offset into a line and report the text. Bad\n"
    "arguments raise ValueError or TypeError.\n",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace
} // namespace tavo::parse

PyMODINIT_FUNC PyInit__parse(void) { return PyModuleDef_Init(&tavo::parse::parse_module); }
