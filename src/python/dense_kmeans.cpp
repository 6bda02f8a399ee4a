// _NativeDenseKMeans: not built yet, registers nothing.
#include "classes.hpp"

namespace vantorix::py {

int register_dense_kmeans(PyObject*) { return 0; }

}  // namespace vantorix::py
