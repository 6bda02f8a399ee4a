// _NativeProductQuantizer: not built yet, registers nothing.
#include "classes.hpp"

namespace vantorix::py {

int register_product_quantizer(PyObject*) { return 0; }

}  // namespace vantorix::py
