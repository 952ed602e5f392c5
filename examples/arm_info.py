"""Wake a Triaxon arm and print what it says about itself.

Usage: python arm_info.py PORT        (for example /dev/ttyACM0)

The library never raises for a device that does not answer: it prints an
error line on standard error (or nothing, for a plain time-out) and the call
returns zeros. So a wake-up that comes back all zero means "no arm here".
"""

import sys

import TessaryHardwareAPI as api

if len(sys.argv) != 2:
    sys.exit(__doc__)
port = sys.argv[1]

# Keep the stream referenced for as long as the arm is used: the arm borrows it.
stream = api.SerialStream(port)
arm = api.Triaxon(stream)

info = arm.device_wakeup_dict()
if info["device_model_number"] != 4:  # every Triaxon reports model 4
    sys.exit(f"no Triaxon answered on {port} (wake-up gave {info})")

print(f"Triaxon on {port}")
print(f"  device id         0x{info['device_id']:04x}")
print(f"  model             {info['device_model_number']}")
print(f"  hardware version  {info['hardware_version']}")
print(f"  firmware version  {info['firmware_version']}")
print(f"  identifier        {info['device_id_ext']}")

# The identifier also has a request of its own; both give a uuid.UUID.
identifier = arm.get_device_id()
print(f"  identifier query  {identifier}"
      + ("" if identifier == info["device_id_ext"] else "  (differs from the wake-up!)"))

# The firmware version is a 16-byte value as well; it often holds ASCII text.
firmware = arm.get_firmware_version()
text = firmware.bytes.rstrip(b"\0")
readable = text.decode("ascii") if text.isascii() and text.decode("ascii").isprintable() else None
print(f"  firmware id       {firmware}" + (f'  ("{readable}")' if readable else ""))

print(f"  temperature       {arm.get_temperature():.1f}")
print(f"  powered           {'yes' if arm.get_power_status() else 'no'}")
quaternion = arm.get_device_orientation()  # the base's orientation, in wire order
print(f"  base orientation  ({', '.join(f'{q:.3f}' for q in quaternion)})")
currents = arm.get_motor_currents()
print(f"  motor currents    {', '.join(f'{c:.3f}' for c in currents)}")
