#include "Options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace Tessary::Sim {

namespace {

// More devices than this is surely a typo, and each one costs a pty.
constexpr unsigned long kMaxDevices = 64;
// About an hour: longer delays only hide mistakes.
constexpr unsigned long kMaxDelayUs = 3600UL * 1000000UL;

bool ParseNumber(const std::string& text, unsigned long limit, unsigned long& out)
{
    if (text.empty() || text[0] < '0' || text[0] > '9')
        return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long value = std::strtoul(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value > limit)
        return false;
    out = value;
    return true;
}

} // namespace

const char* Options::Usage()
{
    return "usage: tessary-sim [options]\n"
           "\n"
           "Plays Triaxon arms and Handle tools on pseudo-terminals. Prints one JSON\n"
           "line per device, then {\"ready\": true, ...} once all are ready, and serves\n"
           "until SIGINT or SIGTERM.\n"
           "\n"
           "  --triaxons N             number of virtual arms (default 1)\n"
           "  --handles N              number of virtual handles (default 1)\n"
           "  --wireless               name handle links rfcomm-simK instead of ttyUSB-simK\n"
           "  --link DIR               create symbolic links ttyACM-simK, ttyUSB-simK or\n"
           "                           rfcomm-simK in DIR to the pty slaves, making DIR if\n"
           "                           missing; a name already taken is an error; removed\n"
           "                           on exit\n"
           "  --drop-every N           send no reply to every Nth request\n"
           "  --truncate-every N       send only the first half of every Nth reply\n"
           "  --wrong-header-every N   flip bit 7 of the header byte of every Nth reply\n"
           "  --delay-us D             send every reply D microseconds after its request\n"
           "  --hangup-after N         close a device's pty after it answered N requests\n"
           "  --help                   print this text and exit\n"
           "\n"
           "  --replay FILE.mcap       play the device of a capture (tessary record)\n"
           "                           instead: see tessary-sim --replay FILE --help\n"
           "\n"
           "Fault counters run per device over the requests that call for a reply.\n";
}

bool Options::Parse(int argc, char** argv, std::string& error)
{
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        std::string value;
        bool hasValue = false;
        const auto eq = name.find('=');
        if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.erase(eq);
            hasValue = true;
        }

        auto takeValue = [&]() -> bool {
            if (hasValue)
                return true;
            if (i + 1 >= argc) {
                error = "option " + name + " needs a value";
                return false;
            }
            value = argv[++i];
            hasValue = true;
            return true;
        };
        auto number = [&](unsigned long limit, unsigned long& out) -> bool {
            if (!takeValue())
                return false;
            if (!ParseNumber(value, limit, out)) {
                error = "bad value '" + value + "' for " + name;
                return false;
            }
            return true;
        };
        auto flag = [&]() -> bool {
            if (hasValue) {
                error = "option " + name + " takes no value";
                return false;
            }
            return true;
        };

        unsigned long n = 0;
        if (name == "--help" || name == "-h") {
            if (!flag())
                return false;
            help = true;
        } else if (name == "--wireless") {
            if (!flag())
                return false;
            wireless = true;
        } else if (name == "--triaxons") {
            if (!number(kMaxDevices, n))
                return false;
            triaxons = static_cast<unsigned>(n);
        } else if (name == "--handles") {
            if (!number(kMaxDevices, n))
                return false;
            handles = static_cast<unsigned>(n);
        } else if (name == "--link") {
            if (!takeValue())
                return false;
            if (value.empty()) {
                error = "option --link needs a directory";
                return false;
            }
            linkDir = value;
        } else if (name == "--drop-every") {
            if (!number(0xFFFFFFFFUL, n))
                return false;
            faults.dropEvery = static_cast<unsigned>(n);
        } else if (name == "--truncate-every") {
            if (!number(0xFFFFFFFFUL, n))
                return false;
            faults.truncateEvery = static_cast<unsigned>(n);
        } else if (name == "--wrong-header-every") {
            if (!number(0xFFFFFFFFUL, n))
                return false;
            faults.wrongHeaderEvery = static_cast<unsigned>(n);
        } else if (name == "--delay-us") {
            if (!number(kMaxDelayUs, n))
                return false;
            faults.delayUs = n;
        } else if (name == "--hangup-after") {
            if (!number(0xFFFFFFFFUL, n))
                return false;
            faults.hangupAfter = static_cast<unsigned>(n);
        } else {
            error = "unknown option '" + std::string(argv[i]) + "'";
            return false;
        }
    }
    return true;
}

} // namespace Tessary::Sim
