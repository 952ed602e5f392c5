#pragma once

#include <string>
#include <vector>

#include "TessaryHardwareAPI/Export.h"

namespace Tessary::HardwareAPI {

enum class PortKind { TtyAcm = 1, TtyUsb = 2, Rfcomm = 3 };

struct PortEntry {
    std::string path;  // canonical, links resolved
    PortKind kind;
};

// Candidate ports in `directory`, in the order the directory yields them: names
// containing "ttyACM", else "ttyUSB", else "rfcomm". A candidate whose path
// cannot be resolved (a dangling link, a name gone meanwhile) is left out; a
// directory that cannot be read throws std::filesystem::filesystem_error.
TESSARY_API std::vector<PortEntry> ListSerialPorts(const std::string& directory = "/dev");

// 1 when an arm (or a handle) answered the wake-up on the port, else 0. The
// port is opened, sent one wake-up byte and closed again.
TESSARY_API int ProbeTriaxon(const char* port);
TESSARY_API int ProbeHandle(const char* port);
// ProbeTriaxon on a thread of its own, waited for up to 3 s, as detection
// does for each "ttyACM" candidate.
TESSARY_API bool CheckTriaxon(const char* port);
// ProbeHandle on a thread of its own, waited for up to 5 s.
TESSARY_API bool CheckHandle(const char* port);

// Paths of the ports on which a device of the kind answered, in listing
// order. Candidates are probed one at a time, each on a thread of its own.
TESSARY_API std::vector<std::string> DetectTriaxons(const std::string& directory = "/dev");          // "ttyACM"
TESSARY_API std::vector<std::string> DetectHandles(const std::string& directory = "/dev");           // "ttyUSB", "rfcomm"
TESSARY_API std::vector<std::string> DetectWiredHandles(const std::string& directory = "/dev");      // "ttyUSB"
TESSARY_API std::vector<std::string> DetectWirelessHandles(const std::string& directory = "/dev");   // "rfcomm"

}  // namespace Tessary::HardwareAPI
