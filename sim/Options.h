// Command line of tessary-sim.
#pragma once

#include <string>

namespace Tessary::Sim {

// Faults applied to every virtual device. Each "every N" counter runs per
// device over the requests that call for a reply; 0 switches a fault off.
struct FaultOptions {
    unsigned dropEvery = 0;        // no reply to every Nth request
    unsigned truncateEvery = 0;    // only the first half of every Nth reply
    unsigned wrongHeaderEvery = 0; // every Nth reply with its header XOR 0x80
    unsigned long delayUs = 0;     // each reply this long after its request
    unsigned hangupAfter = 0;      // close the device after N replies
};

class Options {
public:
    unsigned triaxons = 1;
    unsigned handles = 1;
    bool wireless = false;
    std::string linkDir; // empty: no links
    bool help = false;
    FaultOptions faults;

    // Fills the options from argv; on failure returns false with a message.
    bool Parse(int argc, char** argv, std::string& error);

    static const char* Usage();
};

} // namespace Tessary::Sim
