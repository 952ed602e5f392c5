// tessary-sim: virtual Triaxon arms and Handle tools on pseudo-terminals, so
// host scripts and tests run without the hardware.
#include "Options.h"
#include "Simulator.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

namespace {
// A capture's device is played by the tessary package (the capture format is
// its mcap extra): `tessary sim --replay ...`, through the `tessary` installed
// beside this program, else the one on PATH.
int RunReplay(int argc, char** argv)
{
    std::vector<char*> args{const_cast<char*>("tessary"), const_cast<char*>("sim")};
    for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        std::string beside(self, static_cast<std::size_t>(n));
        beside = beside.substr(0, beside.rfind('/') + 1) + "tessary";
        ::execv(beside.c_str(), args.data());
    }
    ::execvp("tessary", args.data());
    std::fprintf(stderr, "tessary-sim: --replay needs the tessary command (pip install 'TessaryHardwareAPI[record]'): %s\n",
                 std::strerror(errno));
    return 1;
}
}  // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--replay") == 0) return RunReplay(argc, argv);
    }
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
