// The extension module on x86-64. The library is built once per instruction-set level
// (_vantorix_sse.so, _vantorix_avx2.so, _vantorix_avx512.so beside this file); importing opens the
// best one this CPU runs, once per process, and hands its module to Python. Every level gives the
// same results. VANTORIX_X86_LEVEL (sse, avx2, avx512) caps the level, e.g. to compare them.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <dlfcn.h>

#include <string>

#include "core/env.hpp"

namespace {

struct Level {
  const char* name;
  vantorix::Word word;
  bool supported;
};

std::string own_directory() {
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(&own_directory), &info) == 0 || info.dli_fname == nullptr) return ".";
  const std::string path = info.dli_fname;
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

}  // namespace

PyMODINIT_FUNC PyInit__vantorix(void) {
  using vantorix::Word;
  __builtin_cpu_init();
  // Highest first. The ISA levels check what the OS enables too (the AVX-512 register state), not
  // only CPUID.
  const Level levels[] = {{"avx512", Word::Avx512, __builtin_cpu_supports("x86-64-v4") != 0},
                          {"avx2", Word::Avx2, __builtin_cpu_supports("x86-64-v3") != 0},
                          {"sse", Word::Sse, true}};
  // Capped: the requested level where the CPU has it, else the next lower one it has.
  const Word cap = vantorix::env_word(vantorix::EnvSwitch::X86Level);
  const char* chosen = "sse";
  bool reached = cap == Word::Auto;
  for (const Level& l : levels) {
    reached = reached || cap == l.word;
    if (reached && l.supported) {
      chosen = l.name;
      break;
    }
  }
  const std::string path = own_directory() + "/_vantorix_" + chosen + ".so";
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = dlerror();
    PyErr_Format(PyExc_ImportError, "cannot load %s: %s", path.c_str(), why ? why : "unknown error");
    return nullptr;
  }
  using Create = PyObject* (*)();
  auto create = reinterpret_cast<Create>(dlsym(handle, "vantorix_create_module"));
  if (create == nullptr) {
    PyErr_Format(PyExc_ImportError, "%s has no module entry point", path.c_str());
    return nullptr;
  }
  // The library stays loaded for the life of the process, as an extension module does.
  return create();
}
