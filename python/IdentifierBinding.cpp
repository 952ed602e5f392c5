#include "Bindings.h"

void RegisterIdentifier(py::module_&) {}
