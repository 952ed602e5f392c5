// Decides, reply by reply, which of the configured faults a device applies.
#pragma once

#include "Options.h"

namespace Tessary::Sim {

class FaultInjector {
public:
    struct Decision {
        bool drop = false;
        bool truncate = false;
        bool wrongHeader = false;
        bool lastBeforeHangup = false; // the device closes once this reply is out
    };

    explicit FaultInjector(const FaultOptions& options);

    // Called once for every request that calls for a reply, in arrival order.
    Decision Next();

    unsigned long DelayUs() const { return options_.delayUs; }

private:
    static bool Hits(unsigned every, unsigned long count);

    FaultOptions options_;
    unsigned long count_ = 0;
};

} // namespace Tessary::Sim
