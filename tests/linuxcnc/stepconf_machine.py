#!/usr/bin/python3
"""A LinuxCNC machine configuration as stepconf writes it, by stepconf's own code, without its window.

  stepconf_machine.py build FILE.stepconf DIR   the INI and HAL files stepconf writes for FILE into DIR
  stepconf_machine.py make DIR                  the saved .stepconf files of tests/linuxcnc/stepconf/

The installed /usr/bin/stepconf is loaded as a module with stand-ins for its GTK imports (building
the files needs none of them); its Data.load, its build_INI and build_HAL modules and its tool table copy then
write what its "Apply" writes (not its desktop launcher). `make` sets in stepconf's defaults what an integrator picks on its pages (the
values in MACHINES) and saves them with stepconf's own Data.save.
"""
import importlib.machinery
import importlib.util
import os
import sys
from pathlib import Path
from unittest import mock

# Picked on stepconf's pages: pin 16 left to the board's stream, pin 17 the charge pump, a 25 us base
# thread (10 microsteps, a 10 us latency), no tool change dialog (it needs X); with EStop In on pin
# 10, and without (stepconf then loops its EStop signal back). The axes' scales are what its axis
# pages compute from the defaults.
COMMON = dict(machinename="mill", pin16="UNUSED_OUTPUT", pin17="PUMP", latency=10000, manualtoolchange=0)
MACHINES = {
    "estop-in.stepconf": dict(COMMON, pin10="ESTOP_IN"),
    "no-estop-in.stepconf": dict(COMMON, pin17="UNUSED_OUTPUT"),
}


def load_stepconf():
    for name in ("gi", "gi.repository", "multifilebuilder"):
        sys.modules.setdefault(name, mock.MagicMock())
    hook = sys.excepthook
    loader = importlib.machinery.SourceFileLoader("stepconf_app", "/usr/bin/stepconf")
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader("stepconf_app", loader))
    loader.exec_module(module)
    sys.excepthook = hook  # stepconf's own opens a GTK dialog
    from stepconf import build_HAL, build_INI
    app = module.StepconfApp.__new__(module.StepconfApp)
    app._p = module.Private_Data()
    app.d = module.Data(app._p)
    app.INI = build_INI.INI(app)
    app.HAL = build_HAL.HAL(app)
    return app


def make(folder):
    for file, picks in MACHINES.items():
        app = load_stepconf()
        d = app.d
        for key, value in picks.items():
            d[key] = getattr(app._p, value) if key.startswith("pin") else value
        for axis in "xyz":
            d[axis + "microstep"] = 10
            d[axis + "scale"] = d[axis + "leadscrew"] * d[axis + "steprev"] * d[axis + "microstep"]
            d[axis + "minlim"], d[axis + "maxlim"] = (-1, 0) if axis == "z" else (0, 8)
        d.save(str(Path(folder) / Path(file).stem))


def build(stepconf, folder):
    app = load_stepconf()
    app.d.load(stepconf, force=True)
    os.makedirs(folder, exist_ok=True)
    app.INI.write_inifile(folder)
    app.HAL.write_halfile(folder)
    app.copy(folder, "tool.tbl")


if __name__ == "__main__":
    # stepconf makes ~/linuxcnc/configs when it loads: HOME is the caller's choice.
    if sys.argv[1:2] == ["make"] and len(sys.argv) == 3:
        make(sys.argv[2])
    elif sys.argv[1:2] == ["build"] and len(sys.argv) == 4:
        build(sys.argv[2], sys.argv[3])
    else:
        sys.exit(__doc__)
