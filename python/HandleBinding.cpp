#include "Bindings.h"

void RegisterHandle(py::module_&) {}
