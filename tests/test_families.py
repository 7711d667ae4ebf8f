"""SDK families a real SDK may lack (bias, monitor, read-back): whichever way the package was built, the modules say
what they have. The suite's own build has them all; .ci/run also builds the package without them and runs this
file against that build."""
import re

import pytest

from vrexsdk import bias, monitor, settings

MISSING = [
    ("bias", lambda d: d.bias.getBiasIds(), "no bias functions (vrex_bias_*)"),
    ("bias", lambda d: d.bias.waitRamp("hv"), "no bias functions"),
    ("monitor", lambda d: d.monitor.setValueChangedCallback("bias_voltage", None), "no monitor functions (vrex_monitor_*)"),
    ("monitor", lambda d: d.monitor.getMonitorIds(), "no monitor functions"),
]


@pytest.mark.parametrize("module, use, message", MISSING)
def test_a_family_says_whether_it_is_there(opened, module, use, message):
    mod = {"bias": bias, "monitor": monitor}[module]
    if mod.available:
        use(opened)
        assert message not in mod.__doc__
    else:
        assert message in mod.__doc__ and message in type(getattr(opened, module)).__doc__
        with pytest.raises(NotImplementedError, match=re.escape(message)):
            use(opened)


def test_a_set_up_is_captured_and_applied_with_what_the_build_has(opened):
    setup = settings.capture(opened)
    assert ("bias" in setup) == bool(bias.available)
    opened.chip.setDacValue("Vfbk", 10)
    assert [c.path for c in settings.apply(opened, setup)] == ["chip.dacs.Vfbk"]
