#pragma once

#include <pybind11/pybind11.h>

namespace Tessary::HardwareAPI {}
// The short alias is also how pybind11's override macros spell class names in
// their messages ("API::Devices::Handle::...").
namespace API = Tessary::HardwareAPI;
namespace py = pybind11;

// One registration function per class group, called by the module entry in
// the order in which the module's attributes are created.
void RegisterSerialStream(py::module_& m);
void RegisterIdentifier(py::module_& m);
void RegisterDetection(py::module_& m);
void RegisterTriaxon(py::module_& m);
void RegisterHandle(py::module_& m);

#include "TessaryHardwareAPI/UUID.h"

// A standard-library uuid.UUID with the identifier's bytes in storage order.
// Needs the interpreter lock; raises what the uuid module raises.
py::object MakePythonUuid(const API::UUID& id);
