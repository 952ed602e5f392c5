#pragma once

#include <string>
#include <vector>

namespace Tessary::HardwareAPI {

enum class PortKind { TtyAcm = 1, TtyUsb = 2, Rfcomm = 3 };

struct PortEntry {
    std::string path;  // canonical, links resolved
    PortKind kind;
};

// Candidate ports in `directory`, in the order the directory yields them.
std::vector<PortEntry> ListSerialPorts(const std::string& directory = "/dev");

// 1 when an arm (or a handle) answered the wake-up on the port, else 0.
int ProbeTriaxon(const char* port);
int ProbeHandle(const char* port);
// ProbeHandle on a thread of its own, waited for up to 5 s.
bool CheckHandle(const char* port);

std::vector<std::string> DetectTriaxons(const std::string& directory = "/dev");
std::vector<std::string> DetectHandles(const std::string& directory = "/dev");
std::vector<std::string> DetectWiredHandles(const std::string& directory = "/dev");
std::vector<std::string> DetectWirelessHandles(const std::string& directory = "/dev");

}  // namespace Tessary::HardwareAPI
