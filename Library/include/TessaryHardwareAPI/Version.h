#pragma once

namespace Tessary::HardwareAPI {

const char* GetLibraryVersion();
// Writes "Library version: <version>\n" to the C runtime's stdout and flushes.
void PrintLibraryVersion();

}  // namespace Tessary::HardwareAPI
