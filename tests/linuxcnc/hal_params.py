#!/usr/bin/env python3
"""hal_params.py MANPAGE WORKDIR [RUNNER...]: trelvo40's parameters measured on the wire in halrun.

streamer, eight trelvo40 boards with the parameters below, and sampler run in one thread; the
sampled streams give each board's low and high runs after `enable` rises and its frame spacing, which
must be the parameters (as read back) times cycles-per-bit. Values outside the ranges trelvo40(9)
gives must read back clamped to them, with one message each. Board `a` also carries the checks of
`state`, `frames-sent`, `enable-spindle` and the spindle pins. RUNNER runs halrun (e.g. runuser ...).
Prints the measured table; exits 1 on any mismatch.
"""
import re
import subprocess
import sys
from pathlib import Path

# A component that neither loads nor fails would hold halrun, and CI, for good.
HALRUN_SECONDS = 300

# board: (post-estop-delay, idle-delay, intra-frame-delay, cycles-per-bit) as set; None keeps the default.
BOARDS = {
    "a": (None, None, None, None),
    "b": (0, 1, 1, 1),
    "c": (25, 7, 4, 1),
    "d": (-5, 0, -1, 0),
    "e": (2147483647, 2147483647, 2147483647, 1),
    "f": (9, 0, 0, 3),  # idle-delay alone out of range
    "g": (3, 1, 2, 40),
    "h": (0, -5, 0, 4294967295),
}
PARAMS = ("post-estop-delay", "idle-delay", "intra-frame-delay", "cycles-per-bit")
# The periods where enable rises and falls, where a's enable-spindle falls and rises again, and where
# b's falls while enable is low.
RISE1, FALL1, RISE2, END = 100, 6117, 6167, 8700
SPINDLE_OFF, SPINDLE_ON = 3103, 4607
B_SPINDLE_OFF = FALL1 + 20


def man_ranges(man):
    """{parameter: (default, low, high)} from the PARAMETERS section's "(default D, LO to HI)"."""
    found = {}
    for name, d, lo, hi in re.findall(r"\\fB\.([\w-]+)\\fR \w+ rw \(default (-?\d+), (-?\d+) to (-?\d+)\)", man):
        found[name] = (int(d), int(lo), int(hi))
    return found


def write_session(work):
    lines = []
    for period in range(END):
        enable = int(RISE1 <= period < FALL1 or period >= RISE2)
        spindle = int(not SPINDLE_OFF <= period < SPINDLE_ON)
        lines.append(f"{enable} {period % 2} {spindle} {int(period < B_SPINDLE_OFF)}\n")
    (work / "inputs.txt").write_text("".join(lines))
    (work / "sample.sh").write_text(f"halsampler -c 0 -n {END} >'{work}/samples.txt'\n")
    hal = [
        "loadrt threads name1=t period1=50000 fp1=1",
        "loadrt streamer depth=%d cfg=bbbb" % (END + 16),
        "loadrt trelvo40 names=" + ",".join(BOARDS),
        "loadrt sampler depth=%d cfg=bbbbbbbbsuf" % (END + 16),
        "addf streamer.0 t",
    ]
    hal += [f"addf {b} t" for b in BOARDS]
    hal += ["addf sampler.0 t", "net enable streamer.0.pin.0", "net k1 streamer.0.pin.1",
            "net a-spindle streamer.0.pin.2 => a.enable-spindle", "net b-spindle streamer.0.pin.3 => b.enable-spindle"]
    for k, (b, values) in enumerate(BOARDS.items()):
        hal += [f"net enable => {b}.enable", f"net k1 => {b}.k1", f"net {b}-stream {b}.stream => sampler.0.pin.{k}"]
        hal += [f"setp {b}.{p} {v}" for p, v in zip(PARAMS, values) if v is not None]
    hal += ["net a-state a.state => sampler.0.pin.8", "net a-frames a.frames-sent => sampler.0.pin.9",
            "net a-duty a.spindle-duty-sent => sampler.0.pin.10",
            "setp a.spindle-on 1", "setp a.spindle-ccw 1", "setp a.spindle-speed -12000",
            "setp a.spindle-scale 24000", "setp b.spindle-duty 0.25", "setp b.spindle-speed 24000",
            "setp b.spindle-on 1",
            f"loadusr -w halstreamer -c 0 {work}/inputs.txt", "start", f"loadusr -w sh {work}/sample.sh",
            "stop", "show param"]
    (work / "params.hal").write_text("\n".join(hal) + "\n")


def runs_after(stream, start):
    """Lengths of the low run from `start`, then of the high run after it."""
    i = start
    while i < len(stream) and stream[i] == 0:
        i += 1
    low = i - start
    j = i
    while j < len(stream) and stream[j] == 1:
        j += 1
    return low, j - i


def frames(stream, cycles, rise, fall, cut=None):
    """(start period, word) of each whole frame between rise and fall, the bits taken at their first
    period; the start of a frame that fall cuts goes into cut."""
    found = []
    low, high = runs_after(stream, rise)
    i = rise + low + high
    while i + 10 * cycles <= fall:
        bits = [stream[i + k * cycles] for k in range(10)]
        if bits[0] != 0 or bits[9] != 1 or sum(bits[1:9]) % 2 != 1:
            raise ValueError(f"bad frame at period {i}: {bits}")
        found.append((i, sum(b << k for k, b in enumerate(bits[1:8]))))
        i += 10 * cycles
        while i < fall and stream[i] == 1:
            i += 1
    if cut is not None and i < fall:
        cut.append(i)
    return found


# loadrt's arguments (and a line after it), and the instances the load gives; None: the load must fail.
LOADS = [("names=mill,lathe", ["mill", "lathe"]), ("count=2", ["trelvo40.0", "trelvo40.1"]), ("", ["trelvo40.0"]),
         ("names=" + ",".join("abcdefgh"), list("abcdefgh")), ("count=8", [f"trelvo40.{n}" for n in range(8)]),
         ("names=" + "n" * 23, ["n" * 23]), ("names=" + "n" * 24, None), ("count=-1", None), ("count=0", None), ("count=9", None),
         ("count=1 names=a", None), ("names=" + ",".join("abcdefghi"), None), ("names=a,a", None),
         ("\nsetp trelvo40.0.mode 1", None)]


def check_loads(work, runner, check):
    for args, want in LOADS:
        (work / "load.hal").write_text(f"loadrt trelvo40 {args}\nshow funct\n")
        done = subprocess.run(runner + ["sh", "-c", f"cd '{work}' && halrun -f load.hal 2>&1"],
                              capture_output=True, text=True, timeout=HALRUN_SECONDS)
        got = None if done.returncode != 0 else sorted(re.findall(r"^\s*\d+\s+\w+\s+\w+\s+YES\s+\d+\s+(\S+)$",
                                                                 done.stdout, re.M))
        print(f"loadrt trelvo40 {args.strip()!s:<24} -> {'refused' if got is None else ' '.join(got)}")
        check(got == (None if want is None else sorted(want)), f"loadrt trelvo40 {args}: {got}, want {want}")


def main():
    man = Path(sys.argv[1]).read_text()
    work = Path(sys.argv[2])
    runner = sys.argv[3:]
    ranges = man_ranges(man)
    failures = []

    def check(ok, text):
        if not ok:
            failures.append(text)

    check(set(ranges) == set(PARAMS), f"trelvo40(9) gives ranges for {sorted(ranges)}")
    check_loads(work, runner, check)
    write_session(work)
    subprocess.run(runner + ["sh", "-c", f"cd '{work}' && halrun -f params.hal >halrun.txt 2>&1"], check=True,
                   timeout=HALRUN_SECONDS)
    log = (work / "halrun.txt").read_text()
    readback = {name: int(value, 0) for value, name in re.findall(r"\s(-?(?:0x[0-9A-Fa-f]+|\d+))\s+(\w\.[\w-]+)\s*$", log, re.M)}
    rows = [line.split() for line in (work / "samples.txt").read_text().splitlines()]
    check(len(rows) == END, f"{len(rows)} samples for {END} periods")
    enable = [int(RISE1 <= p < FALL1 or p >= RISE2) for p in range(END)]

    print("| board | set (P, I, F, C) | read back | low after rise 1, 2 | high after rise 1, 2 | frame spacing | line in EStop |")
    print("|---|---|---|---|---|---|---|")
    for k, (b, values) in enumerate(BOARDS.items()):
        stream = [int(r[k]) for r in rows]
        got = tuple(readback.get(f"{b}.{p}") for p in PARAMS)
        want = tuple(ranges[p][0] if v is None else min(max(v, ranges[p][1]), ranges[p][2])
                     for p, v in zip(PARAMS, values))
        check(got == want, f"{b}: read back {got}, trelvo40(9)'s ranges give {want}")
        for p, v in zip(PARAMS, values):
            if v is not None and (v < ranges[p][1] or v > ranges[p][2]):
                said = log.count(f"{b}.{p} {v} is outside")
                check(said == 1, f"{b}.{p} {v}: said {said} times")
        post, idle, intra, cycles = got
        runs = [runs_after(stream, RISE1), runs_after(stream, RISE2)]
        for low, high in runs:
            check(low == post * cycles, f"{b}: {low} low samples, want {post} x {cycles}")
            check(high == idle * cycles, f"{b}: {high} high samples, want {idle} x {cycles}")
        starts = [s for s, _ in frames(stream, cycles, RISE1, FALL1)]
        gaps = sorted({y - x for x, y in zip(starts, starts[1:])})
        if (post + idle + 2 * (10 + intra)) * cycles <= FALL1 - RISE1:
            check(gaps == [(10 + intra) * cycles], f"{b}: frames {gaps} apart, want {(10 + intra) * cycles}")
        estop_high = [p for p in range(END) if not enable[p] and stream[p]]
        check(not estop_high, f"{b}: line high in EStop at {estop_high[:3]}")
        shown = ", ".join("default" if v is None else str(v) for v in values)
        print(f"| {b} | {shown} | {', '.join(map(str, got))} | {runs[0][0]}, {runs[1][0]} | {runs[0][1]}, {runs[1][1]} | "
              f"{', '.join(map(str, gaps)) or '-'} | {'low' if not estop_high else 'HIGH'} |")

    # Board a: state, frames-sent and the spindle, against its own decoded wire.
    stream = [int(r[0]) for r in rows]
    state = [int(r[8]) for r in rows]
    sent = [int(r[9]) for r in rows]
    duty = [float(r[10]) for r in rows]
    want = [0 if not e else 1 for e in enable]
    decoded = []
    for rise, fall in ((RISE1, FALL1), (RISE2, END)):
        low, _ = runs_after(stream, rise)
        want[rise:rise + low] = [6] * low
        cut = []
        for s, word in frames(stream, 1, rise, fall, cut):
            want[s:s + 10] = [2] + [3] * 7 + [4, 5]
            decoded.append((s, word))
        for s in cut:
            want[s:fall] = ([2] + [3] * 7 + [4, 5])[:fall - s]
    wrong = [p for p in range(END) if state[p] != want[p]]
    check(not wrong, f"a: state {state[wrong[0]] if wrong else 0} at {wrong[:1]}, want {want[wrong[0]] if wrong else 0}")
    stops = [s + 9 for s, _ in decoded]
    steps = [p for p in range(1, END) if sent[p] != sent[p - 1]]
    check(steps == stops and all(sent[p] - sent[p - 1] == 1 for p in steps),
          f"a: frames-sent steps at {steps[:4]}..., the stop bits at {stops[:4]}...")
    spindle = [(s, w) for s, w in decoded if 0x20 <= w < 0x50]
    off = [w for s, w in spindle if s >= SPINDLE_OFF][:1]
    after_off = [w for s, w in spindle if SPINDLE_OFF <= s < SPINDLE_ON]
    first_off = next(s for s, _ in decoded if s >= SPINDLE_OFF)
    first_on = next(s for s, _ in decoded if s >= SPINDLE_ON)
    check(after_off == [0x4E] and dict(decoded)[first_off] == 0x4E,
          f"a: enable-spindle off sent {[hex(w) for w in after_off]} (first frame 0x{dict(decoded)[first_off]:X})")
    check(dict(decoded)[first_on] == 0x20, f"a: enable-spindle on: first frame 0x{dict(decoded)[first_on]:X}")
    check([w for _, w in spindle[:3]] == [0x20, 0x30, 0x4A], f"a: spindle-speed -12000 / 24000 sent {spindle[:3]}")
    first_hi = next(s for s, w in spindle if w >> 4 == 4)
    check(duty[first_hi + 8] == 0 and abs(duty[first_hi + 9] - 512 / 1023) < 1e-6,
          f"a: spindle-duty-sent {duty[first_hi + 8]} then {duty[first_hi + 9]} at the Hi frame's stop bit")
    print(f"\na: {len(decoded)} frames decoded, frames-sent {sent[-1]}; spindle-speed -12000 / spindle-scale 24000 "
          f"sent {[hex(w) for _, w in spindle[:3]]}; enable-spindle off at {SPINDLE_OFF}: next frame "
          f"0x{dict(decoded)[first_off]:X} at {first_off}, then no spindle frame; on at {SPINDLE_ON}: "
          f"0x{dict(decoded)[first_on]:X} at {first_on}")
    b_hi = [w for _, w in frames([int(r[1]) for r in rows], 1, RISE1, FALL1) if w >> 4 == 4][:1]
    check(b_hi == [0x41], f"b: spindle-duty 0.25 beside spindle-speed 24000 sent Hi {[hex(w) for w in b_hi]}")
    b_after = [w for _, w in frames([int(r[1]) for r in rows], 1, RISE2, END)]
    b_spindle = [w for w in b_after if 0x20 <= w < 0x50]
    check(b_after[:1] == [0x45] and b_spindle == [0x45],
          f"b: enable-spindle fell in EStop: after it {[hex(w) for w in b_after[:3]]}, spindle frames {b_spindle}")
    print(f"b: enable-spindle fell in EStop; after enable rose: first frame 0x{b_after[0]:X}, "
          f"then {len(b_spindle) - 1} spindle frames")
    for f in failures:
        print("FAIL:", f)
    print("PASS" if not failures else "FAIL")
    return 1 if failures else 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (ValueError, StopIteration) as e:
        print(f"FAIL: the stream does not decode: {e!r}")
        sys.exit(1)
