#include "TessaryHardwareAPI/Version.h"

#include <cstdio>

namespace Tessary::HardwareAPI {

namespace {
constexpr const char kVersion[] = "0.1.1";
}

const char* GetLibraryVersion() { return kVersion; }

void PrintLibraryVersion() {
    std::printf("Library version: %s\n", kVersion);
    std::fflush(stdout);
}

}  // namespace Tessary::HardwareAPI
