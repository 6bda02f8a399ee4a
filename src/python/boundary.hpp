#pragma once
// The declarative boundary. A native class is a model type and three tables: its constructor,
// its methods and its read-only properties. Each method lists its parameters once (name, kind,
// default); that list parses the call by name, writes the text signature and fills in the
// defaults, which the class files take from the C++ option structs. Adding a method is one entry
// in its class's table.
//
// Every argument is converted before any array is borrowed: `__index__` and friends may run
// Python code that frees a list or resizes an array, so scalars and sequences become owned C++
// values first, and arrays are read (and checked again) only afterwards. The argument objects
// themselves are held for the whole call.
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "core/error.hpp"
#include "python/common.hpp"

namespace vantorix::py {

enum class Kind : uint8_t {
  F32Matrix,
  F64Matrix,
  U8Matrix,
  F32Array3,
  F32Vector,
  U32Vector,
  F64Vector,
  U64Vector,
  Int,
  Bool,
  Text,
  IntSequence,
  Float
};

struct Param {
  enum class Default : uint8_t { Required, None, Int, Bool, Text, Float };
  const char* name = nullptr;
  Kind kind = Kind::Int;
  Default dflt = Default::Required;
  uint64_t int_value = 0;
  bool bool_value = false;
  const char* text_value = nullptr;
  double float_value = 0.0;
};

inline constexpr size_t kMaxParams = 12;
using ParamList = Param[kMaxParams];

constexpr Param arg(const char* name, Kind kind) { return {name, kind}; }
constexpr Param arg_or_none(const char* name, Kind kind) { return {name, kind, Param::Default::None}; }
constexpr Param int_arg(const char* name, uint64_t dflt) { return {name, Kind::Int, Param::Default::Int, dflt}; }
constexpr Param bool_arg(const char* name, bool dflt) {
  return {name, Kind::Bool, Param::Default::Bool, 0, dflt};
}
constexpr Param text_arg(const char* name, const char* dflt) {
  return {name, Kind::Text, Param::Default::Text, 0, false, dflt};
}

constexpr Param float_arg(const char* name, double dflt) {
  return {name, Kind::Float, Param::Default::Float, 0, false, nullptr, dflt};
}

// The parameters in use: a table ends at its first unnamed entry.
std::span<const Param> params_of(const ParamList& list);

// "name($self, a, b=20)\n--\n\nsummary": the form CPython reads `__text_signature__` from.
std::string signature_doc(const char* name, bool with_self, std::span<const Param> params, const char* summary);

// One call's arguments, parsed and converted by the parameter table.
class Args {
 public:
  Args(const char* fname, std::span<const Param> params, PyObject* args, PyObject* kwargs);
  ~Args();
  Args(const Args&) = delete;
  Args& operator=(const Args&) = delete;

  uint64_t integer(const char* name) const;
  double real(const char* name) const;
  bool flag(const char* name) const;
  std::optional<bool> flag_or_none(const char* name) const;
  const std::string& text(const char* name) const;
  const std::vector<uint64_t>& integers(const char* name) const;
  MatrixView<const float> f32_matrix(const char* name) const;
  std::optional<MatrixView<const float>> f32_matrix_or_none(const char* name) const;
  MatrixView<const uint8_t> u8_matrix(const char* name) const;
  Array3View<const float> f32_array3(const char* name) const;
  VectorView<const float> f32_vector(const char* name) const;
  std::optional<VectorView<const uint32_t>> u32_vector_or_none(const char* name) const;
  std::optional<VectorView<const float>> f32_vector_or_none(const char* name) const;
  VectorView<const double> f64_vector(const char* name) const;
  MatrixView<const double> f64_matrix(const char* name) const;
  VectorView<const uint64_t> u64_vector(const char* name) const;

  // "fit() working on argument 'data' (1000 x 8 of 4-byte items, 32000 bytes)", or "fit()":
  // what a bare allocation failure is reported against.
  std::string describe_work() const;

 private:
  using Value = std::variant<std::monostate, uint64_t, bool, std::string, std::vector<uint64_t>, double,
                             MatrixView<const float>, MatrixView<const double>, MatrixView<const uint8_t>, Array3View<const float>,
                             VectorView<const float>, VectorView<const uint32_t>, VectorView<const double>,
                             VectorView<const uint64_t>>;
  struct Slot {
    const Param* param;
    PyObject* object;  // held for the call; nullptr when the argument was not given
    Value value;
  };
  void convert();
  const Slot& find(const char* name) const;
  template <class T>
  const T& get(const char* name) const;
  template <class T>
  std::optional<T> get_or_none(const char* name) const;

  const char* fname_;
  std::vector<Slot> slots_;
};

// A bare allocation failure inside body() becomes a MemoryError that names the call and its
// main argument; failures that already say what they were (OutOfMemory) pass unchanged.
template <class Body>
PyObject* call_guarded(const Args* args, Body&& body) {
  try {
    return body();
  } catch (const OutOfMemory&) {
    throw;
  } catch (const std::bad_alloc&) {
    throw OutOfMemory("out of memory in " + (args ? args->describe_work() : std::string("a native call")));
  } catch (const std::length_error&) {
    throw OutOfMemory("out of memory in " + (args ? args->describe_work() : std::string("a native call")));
  }
}

// --- classes --------------------------------------------------------------------------------

template <class Model>
struct Instance {
  PyObject_HEAD
  Model* model;
  BorrowState borrow;
};

enum class Access : uint8_t { Shared, Exclusive, Static };

template <class Model>
struct Method {
  const char* name;
  Access access;
  ParamList params;
  // Static methods receive a null model.
  PyObject* (*call)(Model* model, const Args& args);
  const char* summary;
};

template <class Model>
struct Constructor {
  using model_type = Model;
  const char* name;  // the short class name, as errors and the signature spell it
  ParamList params;
  std::unique_ptr<Model> (*make)(const Args& args);
  const char* summary;
};

template <class Model>
struct Property {
  const char* name;
  PyObject* (*get)(const Model& model);
  const char* doc;
};

// The class's type object once registered (static methods build instances of it).
template <class Model>
inline PyTypeObject* g_class_type = nullptr;

template <class Model>
Instance<Model>* instance_of(PyObject* self) {
  return reinterpret_cast<Instance<Model>*>(self);
}

// A new instance owning model.
template <class Model>
PyObject* wrap(PyTypeObject* type, std::unique_ptr<Model> model) {
  PyObject* obj = type->tp_alloc(type, 0);
  if (!obj) throw PyErrSet{};
  instance_of<Model>(obj)->model = model.release();
  instance_of<Model>(obj)->borrow = BorrowState{};
  return obj;
}

// Keeps a generated string for the life of the process (docs outlive every type).
const char* keep_text(std::string text);

namespace detail {

template <class Model, const auto& Ctor>
PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    const Args a(Ctor.name, params_of(Ctor.params), args, kwargs);
    return call_guarded(&a, [&] { return wrap(type, Ctor.make(a)); });
  });
}

template <class Model>
void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete instance_of<Model>(self)->model;
  type->tp_free(self);
  Py_DECREF(type);
}

template <class Model, const auto& Methods, size_t I>
PyObject* call_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  const Method<Model>& m = Methods[I];
  return guarded([&]() -> PyObject* {
    const Args a(m.name, params_of(m.params), args, kwargs);
    return call_guarded(&a, [&]() -> PyObject* {
      if (m.access == Access::Static) return m.call(nullptr, a);
      Instance<Model>& s = *instance_of<Model>(self);
      if (m.access == Access::Shared) {
        SharedBorrow borrow(s.borrow);
        return m.call(s.model, a);
      }
      ExclusiveBorrow borrow(s.borrow);
      return m.call(s.model, a);
    });
  });
}

template <class Model>
PyObject* get_property(PyObject* self, void* closure) {
  const auto* p = static_cast<const Property<Model>*>(closure);
  return guarded([&]() -> PyObject* {
    SharedBorrow borrow(instance_of<Model>(self)->borrow);
    return call_guarded(nullptr, [&] { return p->get(*instance_of<Model>(self)->model); });
  });
}

template <class Model, const auto& Methods, size_t... I>
void fill_methods(PyMethodDef* out, std::index_sequence<I...>) {
  ((out[I] = PyMethodDef{Methods[I].name,
                         reinterpret_cast<PyCFunction>(
                             reinterpret_cast<void (*)()>(&call_method<Model, Methods, I>)),
                         METH_VARARGS | METH_KEYWORDS | (Methods[I].access == Access::Static ? METH_STATIC : 0),
                         keep_text(signature_doc(Methods[I].name, Methods[I].access != Access::Static,
                                                 params_of(Methods[I].params), Methods[I].summary))}),
   ...);
}

}  // namespace detail

// Builds the type from the three tables and adds it to the module; 0 or -1 with an error set.
template <const auto& Ctor, const auto& Methods, const auto& Properties>
int register_class(PyObject* module, const char* qualified_name, unsigned flags) {
  using Model = typename std::remove_cvref_t<decltype(Ctor)>::model_type;
  constexpr size_t kMethodCount = std::extent_v<std::remove_cvref_t<decltype(Methods)>>;
  constexpr size_t kPropertyCount = std::extent_v<std::remove_cvref_t<decltype(Properties)>>;
  static PyMethodDef methods[kMethodCount + 2] = {};
  static PyGetSetDef getset[kPropertyCount + 1] = {};
  static PyType_Slot slots[6] = {};
  static PyType_Spec spec = {};
  try {
    detail::fill_methods<Model, Methods>(methods, std::make_index_sequence<kMethodCount>{});
    // The extension every class has, after the interface's own methods.
    methods[kMethodCount] = PyMethodDef{"_call_with_progress", reinterpret_cast<PyCFunction>(
                                                                   reinterpret_cast<void (*)()>(&call_with_progress)),
                                        METH_VARARGS | METH_KEYWORDS | METH_STATIC, kCallWithProgressDoc};
    for (size_t i = 0; i < kPropertyCount; ++i) {
      getset[i] = PyGetSetDef{Properties[i].name, &detail::get_property<Model>, nullptr, Properties[i].doc,
                              const_cast<void*>(static_cast<const void*>(&Properties[i]))};
    }
    const char* doc = keep_text(signature_doc(Ctor.name, false, params_of(Ctor.params), Ctor.summary));
    slots[0] = {Py_tp_doc, const_cast<char*>(doc)};
    slots[1] = {Py_tp_new, reinterpret_cast<void*>(&detail::construct<Model, Ctor>)};
    slots[2] = {Py_tp_dealloc, reinterpret_cast<void*>(&detail::dealloc<Model>)};
    slots[3] = {Py_tp_methods, methods};
    slots[4] = {Py_tp_getset, getset};
    slots[5] = {0, nullptr};
  } catch (...) {
    translate_current_exception();
    return -1;
  }
  spec = PyType_Spec{qualified_name, int(sizeof(Instance<Model>)), 0, flags, slots};
  g_class_type<Model> = add_type(module, &spec);
  return g_class_type<Model> ? 0 : -1;
}

}  // namespace vantorix::py
