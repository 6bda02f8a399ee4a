// _NativePQKMeans: not built yet, registers nothing.
#include "classes.hpp"

namespace vantorix::py {

int register_pq_kmeans(PyObject*) { return 0; }

}  // namespace vantorix::py
