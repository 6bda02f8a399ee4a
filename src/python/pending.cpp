// Classes that have not landed yet register nothing.
#include "classes.hpp"

namespace vantorix::py {

int register_product_quantizer(PyObject*) { return 0; }
int register_dense_kmeans(PyObject*) { return 0; }
int register_pq_kmeans(PyObject*) { return 0; }

}  // namespace vantorix::py
