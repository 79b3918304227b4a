#!/usr/bin/python3
"""The sample machine's display for scripts/ci-linuxcnc-machine: drives LinuxCNC and checks the board.

LinuxCNC runs this as DISPLAY with -ini INIFILE. It resets EStop, turns the machine on, homes, sends
each G-code by MDI, turns the machine off and finally EStop (opening the HAL pin [TRELVO_TEST]ESTOP_PIN
when the INI names one, an EStop input; else LinuxCNC's own EStop), while halsampler records machine_sampling.hal's sampler: the
machine's pins and trelvo40rx's, one sample a servo period. Each board output must take its new
value at most two frames plus one period after the machine's pin changed (the spindle's pins, whose
word takes three frames, four frames plus one), and the stream must be low
whenever the machine is in EStop. Writes its account and PASS or FAIL to machine-report.txt beside
the INI file.
"""
import os
import signal
import subprocess
import sys
import time

import linuxcnc

# machine_sampling.hal's channels.
ESTOP, FLOOD, MIST, ON, CCW, SPEED, STREAM, K1, K2, BON, BCCW, DUTY, FRAMES, FRAMING = range(14)
NAMES = {ESTOP: "iocontrol.0.user-enable-out", FLOOD: "iocontrol.0.coolant-flood", MIST: "iocontrol.0.coolant-mist",
         ON: "spindle.0.on", CCW: "spindle.0.reverse", STREAM: "trelvo40.0.stream", K1: "trelvo40rx.0.k1",
         K2: "trelvo40rx.0.k2", BON: "trelvo40rx.0.spindle-on", BCCW: "trelvo40rx.0.spindle-ccw",
         DUTY: "trelvo40rx.0.spindle-duty", FRAMING: "trelvo40rx.0.framing-errors"}
FRAME = 10  # periods a frame, cycles-per-bit 1 and no intra-frame delay
# One word's frame, after the frame on the wire and one more the scheduler may put first; the
# spindle command word is three frames (its Low, Mid and Hi nibbles), after the one on the wire.
LIMIT = 2 * FRAME + 1
SPINDLE_LIMIT = 4 * FRAME + 1
FULL_RPM = 24000.0  # [TRELVO]SPINDLE_MAX_RPM
DUTY_STEP = 1.0 / 1023

# (what is sent, the machine pin that answers and its new value, the board pins that must follow);
# the coolant is switched again while the spindle's words are on the wire.
STEPS = [
    ("M8", FLOOD, 1, [K1]),
    ("M9", FLOOD, 0, [K1]),
    ("M7", MIST, 1, [K2]),
    ("M9", MIST, 0, [K2]),
    ("M3 S12000", ON, 1, [BON, BCCW, DUTY]),
    ("M8", FLOOD, 1, [K1]),
    ("M4 S6000", CCW, 1, [BCCW, DUTY]),
    ("M9", FLOOD, 0, [K1]),
    ("M5", ON, 0, [BON]),
    ("M3 S12000", ON, 1, [BON, BCCW, DUTY]),
    ("Off", ON, 0, [BON]),  # the machine off stops the spindle; the stream carries it
    ("EStop", ESTOP, 0, [STREAM, FRAMING]),
]
SPINDLE_PINS = (BON, BCCW, DUTY)


def wanted(board, row, before):
    """Whether sample ROW shows board pin BOARD as the machine's pins in ROW ask."""
    if board == K1:
        return row[K1] == row[FLOOD]
    if board == K2:
        return row[K2] == row[MIST]
    if board == BON:
        return row[BON] == row[ON]
    if board == BCCW:
        return row[BCCW] == row[CCW]
    if board == DUTY:
        return abs(row[DUTY] - min(abs(row[SPEED]) / FULL_RPM, 1.0)) <= DUTY_STEP
    if board == STREAM:
        return row[STREAM] == 0
    return row[FRAMING] > before[FRAMING]  # EStop cuts the line: the board sees one bad frame


def analyse(rows, out):
    failures = 0
    at = 0
    for code, machine, value, boards in STEPS:
        start = next((i for i in range(at, len(rows)) if rows[i][machine] == value and
                      (i == 0 or rows[i - 1][machine] != value)), None)
        if start is None:
            out(f"FAIL {code}: {NAMES[machine]} never became {value}")
            failures += 1
            continue
        at = start
        parts = []
        for board in boards:
            seen = next((i for i in range(start, len(rows)) if wanted(board, rows[i], rows[start - 1])), None)
            if seen is None:
                out(f"FAIL {code}: {NAMES[board]} never followed {NAMES[machine]}")
                failures += 1
                continue
            periods = seen - start
            frames = int(rows[seen][FRAMES] - rows[start - 1][FRAMES])
            shown = f"{rows[seen][board]:.4f}" if board == DUTY else str(int(rows[seen][board]))
            parts.append(f"{NAMES[board]} {shown} after {periods} periods ({frames} frames)")
            limit = SPINDLE_LIMIT if board in SPINDLE_PINS else LIMIT
            if periods > limit:
                out(f"FAIL {code}: {NAMES[board]} took {periods} periods, more than {limit}")
                failures += 1
        out(f"{code:<10} {NAMES[machine]} -> {value} at sample {start}: " + "; ".join(parts))
    high = [i for i, row in enumerate(rows) if row[ESTOP] == 0 and row[STREAM] != 0]
    low = sum(1 for row in rows if row[ESTOP] == 0)
    if high:
        out(f"FAIL the stream is high in EStop at {len(high)} samples, first at {high[0]}")
        failures += 1
    else:
        out(f"EStop: the stream is low in all {low} samples taken in EStop")
    return failures


def read_samples(path, out):
    rows, tags = [], []
    with open(path) as f:
        for line in f:
            fields = line.split()
            if len(fields) != 15:
                continue
            tags.append(int(fields[0]))
            rows.append([float(v) for v in fields[1:]])
    gaps = [i for i in range(1, len(tags)) if tags[i] != tags[i - 1] + 1]
    if gaps:
        out(f"FAIL halsampler lost samples {len(gaps)} times (first after sample {gaps[0]})")
    return rows, len(gaps)


def wait_for(stat, test, seconds, what, errors=None):
    """Polls STAT until TEST holds; after SECONDS raises, with what errors() returns (LinuxCNC's messages)."""
    end = time.time() + seconds
    while time.time() < end:
        stat.poll()
        if test(stat):
            return
        time.sleep(0.05)
    said = errors() if errors else ""
    raise RuntimeError(f"timed out waiting for {what}" + (f" (LinuxCNC said: {said})" if said else ""))


def drive(out, estop_pin, sequenced):
    c, s = linuxcnc.command(), linuxcnc.stat()
    # With an EStop input already closed, task starts out of EStop.
    wait_for(s, lambda s: s.task_state in (linuxcnc.STATE_ESTOP, linuxcnc.STATE_ESTOP_RESET), 30, "LinuxCNC's task")
    time.sleep(0.5)  # some EStop samples first
    c.state(linuxcnc.STATE_ESTOP_RESET)
    c.wait_complete()
    c.state(linuxcnc.STATE_ON)
    c.wait_complete()
    wait_for(s, lambda s: s.task_state == linuxcnc.STATE_ON, 10, "machine on")
    c.mode(linuxcnc.MODE_MANUAL)
    c.wait_complete()
    c.teleop_enable(False)
    c.wait_complete()
    # Homing all needs HOME_SEQUENCE, which stepconf's joints lack: those one at a time.
    for joint in [-1] if sequenced else range(3):
        c.home(joint)
        c.wait_complete()
    wait_for(s, lambda s: all(s.homed[:3]), 60, "homing")
    c.mode(linuxcnc.MODE_MDI)
    c.wait_complete()
    for code, _, _, _ in STEPS:
        if code == "EStop" and estop_pin:
            subprocess.run(["halcmd", "setp", estop_pin, "0"], check=True)
        elif code == "EStop":
            c.state(linuxcnc.STATE_ESTOP)
        elif code == "Off":
            c.state(linuxcnc.STATE_OFF)
        else:
            c.mdi(code)
        c.wait_complete()
        out(f"sent {code}")
        time.sleep(0.4)  # 40 frames' time: each change settles before the next


def main():
    ini = sys.argv[sys.argv.index("-ini") + 1]
    folder = os.path.dirname(os.path.abspath(ini))
    lines = []

    def out(text):
        lines.append(text)
        print(text, flush=True)

    samples = os.path.join(folder, "samples.txt")
    with open(samples, "w") as f:
        sampler = subprocess.Popen(["halsampler", "-t", "-c", "0"], stdout=f)
    failures = 0
    try:
        settings = linuxcnc.ini(ini)
        drive(out, settings.find("TRELVO_TEST", "ESTOP_PIN"), settings.find("JOINT_0", "HOME_SEQUENCE") is not None)
    except Exception as e:  # reported, then the samples are still read
        out(f"FAIL driving LinuxCNC: {e}")
        failures += 1
    time.sleep(0.2)
    sampler.send_signal(signal.SIGINT)
    sampler.wait(10)
    rows, gaps = read_samples(samples, out)
    out(f"{len(rows)} samples, one a servo period; limits: an output {LIMIT} periods (two frames plus one), "
        f"the spindle {SPINDLE_LIMIT} (four frames plus one)")
    failures += gaps + analyse(rows, out)
    out("PASS" if failures == 0 else f"FAIL ({failures})")
    with open(os.path.join(folder, "machine-report.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
