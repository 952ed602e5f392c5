// Owns the virtual devices, their links and the single poll loop that
// serves them all until a termination signal.
#pragma once

#include "Options.h"
#include "VirtualDevice.h"

#include <memory>
#include <string>
#include <vector>

namespace Tessary::Sim {

class Simulator {
public:
    explicit Simulator(Options options);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Sets up, announces the devices on stdout (one line each, then a ready
    // line), serves; the exit status.
    int Run();

private:
    struct Entry {
        std::unique_ptr<VirtualDevice> device;
        std::string link; // empty when there is none or it was removed
    };

    bool CreateDevices(std::string& error);
    bool CreateLinks(std::string& error);
    void Announce() const;
    void Serve(int signalFd);
    void RemoveLink(Entry& entry);
    void RemoveLinks();

    Options options_;
    std::vector<Entry> entries_;
};

} // namespace Tessary::Sim
