#include "Bindings.h"

void RegisterTriaxon(py::module_&) {}
