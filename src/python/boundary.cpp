#include "python/boundary.hpp"

#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>

namespace vantorix::py {

std::span<const Param> params_of(const ParamList& list) {
  size_t n = 0;
  while (n < kMaxParams && list[n].name) ++n;
  return {list, n};
}

std::string signature_doc(const char* name, bool with_self, std::span<const Param> params, const char* summary) {
  std::string out = std::string(name) + "(";
  if (with_self) out += params.empty() ? "$self" : "$self, ";
  for (size_t i = 0; i < params.size(); ++i) {
    const Param& p = params[i];
    if (i) out += ", ";
    out += p.name;
    switch (p.dflt) {
      case Param::Default::Required: break;
      case Param::Default::None: out += "=None"; break;
      case Param::Default::Int: out.append("=").append(std::to_string(p.int_value)); break;
      case Param::Default::Bool: out += p.bool_value ? "=True" : "=False"; break;
      case Param::Default::Text: out.append("=\"").append(p.text_value).append("\""); break;
      case Param::Default::Float: {
        char text[32];
        std::snprintf(text, sizeof text, "%.17g", p.float_value);
        out.append("=").append(text);
        if (!std::strpbrk(text, ".eni")) out += ".0";  // as Python writes a float
        break;
      }
    }
  }
  return out + ")\n--\n\n" + (summary ? summary : "");
}

const char* keep_text(std::string text) {
  static std::mutex lock;
  static std::deque<std::string> kept;
  const std::lock_guard<std::mutex> hold(lock);
  return kept.emplace_back(std::move(text)).c_str();
}

namespace {

// The argument objects by position in the table; missing ones are nullptr. Messages follow
// CPython's own argument errors.
std::vector<PyObject*> match_arguments(const char* fname, std::span<const Param> params, PyObject* args,
                                       PyObject* kwargs) {
  const size_t count = params.size();
  std::vector<PyObject*> out(count, nullptr);
  const Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
  if (size_t(nargs) > count) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zu positional argument%s (%zd given)", fname, count,
                 count == 1 ? "" : "s", nargs);
    throw PyErrSet{};
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[size_t(i)] = PyTuple_GET_ITEM(args, i);
  if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      Py_ssize_t klen = 0;
      const char* kname = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &klen) : nullptr;
      if (!kname) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", fname);
        throw PyErrSet{};
      }
      const std::string_view word(kname, size_t(klen));
      size_t idx = 0;
      while (idx < count && word != params[idx].name) ++idx;
      if (idx == count) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'", fname, escaped(word).c_str());
        throw PyErrSet{};
      }
      if (out[idx]) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", fname, params[idx].name);
        throw PyErrSet{};
      }
      out[idx] = value;
    }
  }
  for (size_t i = 0; i < count; ++i) {
    if (params[i].dflt == Param::Default::Required && !out[i]) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", fname, params[i].name, i + 1);
      throw PyErrSet{};
    }
  }
  return out;
}

bool is_array_kind(Kind kind) {
  return kind == Kind::F32Matrix || kind == Kind::F64Matrix || kind == Kind::U8Matrix || kind == Kind::F32Array3 || kind == Kind::F32Vector ||
         kind == Kind::U32Vector || kind == Kind::F64Vector || kind == Kind::U64Vector;
}

template <class Value>
Value read_array(PyObject* obj, const Param& p) {
  switch (p.kind) {
    case Kind::F32Matrix: return as_f32_matrix(obj, p.name);
    case Kind::F64Matrix: return as_f64_matrix(obj, p.name);
    case Kind::U8Matrix: return as_u8_matrix(obj, p.name);
    case Kind::F32Array3: return as_f32_array3(obj, p.name);
    case Kind::U32Vector: return as_u32_vector(obj, p.name);
    case Kind::F64Vector: return as_f64_vector(obj, p.name);
    case Kind::U64Vector: return as_u64_vector(obj, p.name);
    default: return as_f32_vector(obj, p.name);
  }
}

}  // namespace

Args::Args(const char* fname, std::span<const Param> params, PyObject* args, PyObject* kwargs) : fname_(fname) {
  const std::vector<PyObject*> objects = match_arguments(fname, params, args, kwargs);
  slots_.reserve(params.size());
  for (size_t i = 0; i < params.size(); ++i) {
    slots_.push_back(Slot{&params[i], Py_XNewRef(objects[i]), std::monostate{}});
  }
  // A constructor that throws runs no destructor: release the held arguments here, or every
  // refused call would leak a reference to each of them.
  try {
    convert();
  } catch (...) {
    for (Slot& s : slots_) Py_XDECREF(s.object);
    throw;
  }
}

void Args::convert() {
  // First pass, in table order (so the first bad argument is the one reported): owned values for
  // everything that is not an array, a type check for every array.
  for (Slot& s : slots_) {
    const Param& p = *s.param;
    if (!s.object) {
      if (p.dflt == Param::Default::Int) s.value = p.int_value;
      if (p.dflt == Param::Default::Bool) s.value = p.bool_value;
      if (p.dflt == Param::Default::Text) s.value = std::string(p.text_value);
      if (p.dflt == Param::Default::Float) s.value = p.float_value;
      continue;
    }
    if (p.dflt == Param::Default::None && s.object == Py_None) continue;  // stays "not given"
    switch (p.kind) {
      case Kind::Int: s.value = as_u64(s.object, p.name); break;
      case Kind::Bool: s.value = as_bool(s.object, p.name); break;
      case Kind::Text: s.value = as_string(s.object, p.name); break;
      case Kind::IntSequence: s.value = as_u64_sequence(s.object, p.name); break;
      case Kind::Float: s.value = as_f64(s.object, p.name); break;
      default:
        read_array<Value>(s.object, p);  // checked now, read again below
    }
  }
  // Second pass: the arrays, now that no more Python code runs before the call returns.
  for (Slot& s : slots_) {
    const Param& p = *s.param;
    if (!s.object || !is_array_kind(p.kind) || (p.dflt == Param::Default::None && s.object == Py_None)) continue;
    s.value = read_array<Value>(s.object, p);
  }
}

Args::~Args() {
  for (Slot& s : slots_) Py_XDECREF(s.object);
}

const Args::Slot& Args::find(const char* name) const {
  for (const Slot& s : slots_)
    if (std::strcmp(s.param->name, name) == 0) return s;
  fatal(std::string(fname_) + "() reads an argument it does not declare: " + name);
}

template <class T>
const T& Args::get(const char* name) const {
  const Slot& s = find(name);
  const T* v = std::get_if<T>(&s.value);
  if (!v) fatal(std::string(fname_) + "() reads argument '" + name + "' as the wrong kind");
  return *v;
}

uint64_t Args::integer(const char* name) const { return get<uint64_t>(name); }
bool Args::flag(const char* name) const { return get<bool>(name); }
double Args::real(const char* name) const { return get<double>(name); }
const std::string& Args::text(const char* name) const { return get<std::string>(name); }
const std::vector<uint64_t>& Args::integers(const char* name) const { return get<std::vector<uint64_t>>(name); }
MatrixView<const float> Args::f32_matrix(const char* name) const { return get<MatrixView<const float>>(name); }
MatrixView<const uint8_t> Args::u8_matrix(const char* name) const { return get<MatrixView<const uint8_t>>(name); }
Array3View<const float> Args::f32_array3(const char* name) const { return get<Array3View<const float>>(name); }
VectorView<const float> Args::f32_vector(const char* name) const { return get<VectorView<const float>>(name); }
VectorView<const double> Args::f64_vector(const char* name) const { return get<VectorView<const double>>(name); }
MatrixView<const double> Args::f64_matrix(const char* name) const { return get<MatrixView<const double>>(name); }
VectorView<const uint64_t> Args::u64_vector(const char* name) const {
  return get<VectorView<const uint64_t>>(name);
}

template <class T>
std::optional<T> Args::get_or_none(const char* name) const {
  if (std::holds_alternative<std::monostate>(find(name).value)) return std::nullopt;
  return get<T>(name);
}

std::optional<bool> Args::flag_or_none(const char* name) const { return get_or_none<bool>(name); }

std::optional<MatrixView<const float>> Args::f32_matrix_or_none(const char* name) const {
  return get_or_none<MatrixView<const float>>(name);
}
std::optional<VectorView<const uint32_t>> Args::u32_vector_or_none(const char* name) const {
  return get_or_none<VectorView<const uint32_t>>(name);
}

std::optional<VectorView<const float>> Args::f32_vector_or_none(const char* name) const {
  return get_or_none<VectorView<const float>>(name);
}

std::string Args::describe_work() const {
  std::string out = std::string(fname_) + "()";
  for (const Slot& s : slots_) {
    if (!s.object || !PyArray_Check(s.object)) continue;
    auto* arr = reinterpret_cast<PyArrayObject*>(s.object);
    size_t items = 1;
    std::string shape;
    for (int d = 0; d < PyArray_NDIM(arr); ++d) {
      items = saturating_mul(items, size_t(PyArray_DIM(arr, d)));
      shape += (d ? " x " : "") + std::to_string(PyArray_DIM(arr, d));
    }
    const size_t item = size_t(PyArray_ITEMSIZE(arr));
    return out + " working on argument '" + s.param->name + "' (" + shape + " of " + std::to_string(item) +
           "-byte items, " + std::to_string(saturating_mul(items, item)) + " bytes)";
  }
  return out;
}

}  // namespace vantorix::py
