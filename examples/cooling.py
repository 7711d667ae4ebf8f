"""Cool the sensor to a set point and wait until it is there, within a tolerance, or give up after a timeout.

Usage: python cooling.py [set point in the unit's unit, default 15]
"""
import sys
import time

from vrexsdk import vrex

TOLERANCE, TIMEOUT_S, POLL_S = 0.1, 120.0, 0.1

try:  # The simulated unit settles with a 2 s time constant; a shorter one keeps this demonstration quick.
    from vrexsdk import simulator

    model = simulator.model()
    for unit_model in model["devices"][0]["cooling"]:
        unit_model["time_constant_s"] = 0.2
    simulator.configure(model)
except ImportError:
    pass

try:
    target = float(sys.argv[1]) if len(sys.argv) > 1 else 15.0
except ValueError:
    sys.exit(f"the set point must be a number, not {sys.argv[1]!r}")

with vrex.Device() as device:  # closed and finalized on leaving the block, also when giving up
    device.open(device.enumerate()[0].connectionString)
    cooling = device.cooling
    unit = cooling.getIds()[0]
    symbol = cooling.getValueUnit(unit)
    limits = cooling.getLimits(unit)  # the SDK refuses set points outside them
    if not limits.min <= target <= limits.max:
        sys.exit(f"{target} is outside the limits of {unit!r}: {limits.min}..{limits.max} {symbol}")

    print(f"{unit}: {cooling.getActualTemperature(unit):.2f} {symbol} now, set point {target} {symbol}")
    cooling.setDesiredTemperature(unit, target)
    deadline = time.monotonic() + TIMEOUT_S
    while abs((actual := cooling.getActualTemperature(unit)) - target) > TOLERANCE:
        if time.monotonic() > deadline:
            sys.exit(f"{unit} still at {actual:.2f} {symbol} after {TIMEOUT_S:.0f} s")
        print(f"  {actual:.2f} {symbol}")
        time.sleep(POLL_S)
    print(f"{unit} at {actual:.2f} {symbol}, within {TOLERANCE} of {target}")
