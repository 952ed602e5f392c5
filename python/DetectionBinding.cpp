#include "Bindings.h"

void RegisterDetection(py::module_&) {}
