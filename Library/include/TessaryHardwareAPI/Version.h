#pragma once

#include "TessaryHardwareAPI/Export.h"

namespace Tessary::HardwareAPI {

TESSARY_API const char* GetLibraryVersion();
// Writes "Library version: <version>\n" to the C runtime's stdout and flushes.
TESSARY_API void PrintLibraryVersion();

}  // namespace Tessary::HardwareAPI
