#pragma once
// One registration function per class, each defined in its own file. Each returns 0 or -1 with
// a Python error set.
#include "python/common.hpp"

namespace vantorix::py {

int register_product_quantizer(PyObject* module);
int register_dense_kmeans(PyObject* module);
int register_pq_kmeans(PyObject* module);

}  // namespace vantorix::py
