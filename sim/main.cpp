// tessary-sim: virtual Triaxon arms and Handle tools on pseudo-terminals, so
// host scripts and tests run without the hardware.
#include "Options.h"
#include "Simulator.h"

#include <cstdio>
#include <string>
#include <utility>

int main(int argc, char** argv)
{
    Tessary::Sim::Options options;
    std::string error;
    if (!options.Parse(argc, argv, error)) {
        std::fprintf(stderr, "tessary-sim: %s\n\n%s", error.c_str(), Tessary::Sim::Options::Usage());
        return 2;
    }
    if (options.help) {
        std::fputs(Tessary::Sim::Options::Usage(), stdout);
        return 0;
    }
    Tessary::Sim::Simulator simulator(std::move(options));
    return simulator.Run();
}
