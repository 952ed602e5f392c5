"""Command-line tools, port facts, detection in any folder and virtual devices
for TessaryHardwareAPI (standard library only).

    tessary.detect(dev=None)      the four detection lists, for any folder
    tessary.ports.list_ports()    facts of each serial port, opening none
    tessary.sim.Simulator         virtual arms and handles (tessary-sim)
"""

from tessary.detection import Detection, detect

# The package's version; the module's own __version__ stays "dev".
__version__ = "0.1.1"

__all__ = ["Detection", "__version__", "detect"]
