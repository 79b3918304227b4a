#!/usr/bin/env python3
"""hal_timing.py WORKDIR PERIOD_NS CYCLES_PER_BIT [RUNNER...]: trelvo40's latencies measured in halrun.

motmod's threads (base_thread_fp=1), streamer, trelvo40 and sampler in one of them: the streamer
changes outputs alone, the spindle speed alone, everything at once (seeded random), and gives pulses
of several lengths; the sampled stream is decoded as the board reads it. Prints, in periods and in
time, the bit time, the frame rate, each latency (from the period the pin changes to the end of the
stop bit of the frame that carries it) and, for each pulse length, how many pulses reached the board.
"""
import random
import subprocess
import sys
from pathlib import Path

OUTPUTS = ["j5-a", "j5-b", "j5-c", "j5-d", "k1", "k2", "j6-16", "j6-17"]
SCALE = 24000.0


def scenario(c):
    """Input rows (enable, 8 outputs, speed) a period, and the named segments' period ranges."""
    rows, seg = [], {}
    state = {"enable": 0, "out": [0] * 8, "speed": 6000.0}

    def run(periods):
        for _ in range(periods):
            rows.append((state["enable"], *state["out"], state["speed"]))

    run(20)
    state["enable"] = 1
    rise = len(rows)
    run(100 * c)
    seg["lone"] = len(rows)
    for k in range(40):  # k1 alone, 97 bits and a few periods apart: every phase of the frames
        state["out"][4] ^= 1
        run(97 * c + k % max(c, 1))
    seg["spindle"] = len(rows)
    for k in range(20):  # the speed alone: 0.25 and 0.75 of full, every nibble differs
        state["speed"] = 18000.0 if k % 2 == 0 else 6000.0
        run(151 * c + k % max(c, 1))
    seg["stress"] = len(rows)
    rng = random.Random(31)
    due = [rng.randint(5, 60) * c for _ in range(9)]
    for _ in range(4000 * c):
        for ch in range(9):
            due[ch] -= 1
            if due[ch] == 0:
                if ch < 8:
                    state["out"][ch] ^= 1
                    due[ch] = rng.randint(5, 60) * c + rng.randint(0, c - 1)
                else:
                    state["speed"] = rng.choice([3000.0, 6000.0, 12000.0, 18000.0, 24000.0])
                    due[ch] = rng.randint(30, 200) * c
        run(1)
    state["out"] = [0] * 8
    run(200 * c)
    seg["pulses"] = len(rows)
    for bits in (3, 5, 9, 10, 11):
        for k in range(20):  # j5-b high for the pulse, started at 20 phases of a frame
            state["out"][1] = 1
            run(bits * c)
            state["out"][1] = 0
            run(60 * c + (k * 10 * c) // 20)
    seg["end"] = len(rows)
    return rows, seg, rise


def decode(stream, rise, c):
    """(start period, end period of the stop bit, word) of each frame, bits taken at their first period."""
    bits = stream[rise::c]
    found, k = [], bits.index(1)  # after the low wait
    while k + 10 <= len(bits):
        if bits[k] == 1:
            k += 1
            continue
        frame = bits[k:k + 10]
        if frame[9] != 1 or sum(frame[1:9]) % 2 != 1:
            raise ValueError(f"bad frame at bit {k}: {frame}")
        found.append((rise + k * c, rise + (k + 10) * c - 1, sum(b << i for i, b in enumerate(frame[1:8]))))
        k += 10
    return found


def latencies(rows, frames, lo, hi, inputs):
    """For each input change in [lo, hi) not changed again before it reached the board: end - change + 1."""
    got = []
    for ch in inputs:
        changes = [t for t in range(max(lo, 1), hi) if rows[t][ch] != rows[t - 1][ch]]
        for t, nxt in zip(changes, changes[1:] + [hi]):
            want = rows[t][ch]
            if ch == 9:
                duty = min(abs(want) / SCALE, 1.0)
                word = int(duty * 1023 + 0.5)
                hit = spindle_reach(frames, t, nxt, word)
            else:
                channel, bit = (0, ch - 1) if ch <= 4 else (1, ch - 5)
                hit = next((f for f in frames if f[0] >= t and f[2] >> 4 == channel), None)
                hit = hit if hit and hit[0] < nxt and (hit[2] >> bit & 1) == want else None
            if hit:
                got.append(hit[1] - t + 1)
    return got


def spindle_reach(frames, t, nxt, word):
    nibbles = {}
    for start, end, w in frames:
        if w >> 4 in (2, 3, 4):
            nibbles[w >> 4] = w & 0xF
            if start >= t and w >> 4 == 4 and (nibbles.get(2), nibbles.get(3), nibbles[4] & 3) == (
                    word & 0xF, word >> 4 & 0xF, word >> 8 & 3):
                return (start, end, w) if start < nxt else None
    return None


def main():
    work, period, c = Path(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
    runner = sys.argv[4:]  # --reuse: decode the last run's samples again
    rows, seg, rise = scenario(c)
    n = len(rows)
    (work / "inputs.txt").write_text("".join(" ".join(str(v) for v in r) + "\n" for r in rows))
    thread = "base-thread" if period < 1000000 else "servo-thread"
    (work / "sample.sh").write_text(f"halsampler -c 0 -n {n} >'{work}/samples.txt'\n")
    hal = ["loadrt trivkins", "loadrt homemod", "loadrt tpmod",
           "loadrt motmod base_period_nsec=%d servo_period_nsec=1000000 num_joints=3 base_thread_fp=1"
           % min(period, 1000000),
           "loadrt streamer depth=40000 cfg=bbbbbbbbbf", "loadrt trelvo40", "loadrt sampler depth=40000 cfg=bbb",
           f"addf streamer.0 {thread}", f"addf trelvo40.0 {thread}", f"addf sampler.0 {thread}",
           f"setp trelvo40.0.cycles-per-bit {c}", "setp trelvo40.0.enable-spindle 1", "setp trelvo40.0.spindle-on 1",
           f"setp trelvo40.0.spindle-scale {SCALE}", "net enable streamer.0.pin.0 => trelvo40.0.enable sampler.0.pin.1"]
    hal += [f"net {o} streamer.0.pin.{k + 1} => trelvo40.0.{o}" for k, o in enumerate(OUTPUTS)]
    hal += ["net speed streamer.0.pin.9 => trelvo40.0.spindle-speed", "net stream trelvo40.0.stream => sampler.0.pin.0",
            "net j5-b => sampler.0.pin.2",
            f"loadusr halstreamer -c 0 {work}/inputs.txt", "loadusr -w sleep 2", "start",
            f"loadusr -w sh {work}/sample.sh", "stop", "show pin streamer.0.underruns", "show pin sampler.0.overruns",
            "show pin trelvo40.0.frames-sent"]
    (work / "timing.hal").write_text("\n".join(hal) + "\n")
    if "--reuse" not in runner:
        subprocess.run(runner + ["sh", "-c", f"cd '{work}' && halrun -f timing.hal >halrun.txt 2>&1"], check=True)
    log = (work / "halrun.txt").read_text()
    samples = [line.split() for line in (work / "samples.txt").read_text().splitlines()]
    # The sampler starts with the thread, the streamer a few periods earlier or later: align on enable.
    rose = next(i for i, s in enumerate(samples) if s[1] == "1")
    shift = rose - rise
    stream = [int(s[0]) for s in samples[shift:]] if shift >= 0 else [1] * -shift + [int(s[0]) for s in samples]
    check_j5b = [int(s[2]) for s in samples[shift:]]
    assert check_j5b[:len(rows)] == [r[2] for r in rows][:len(check_j5b)], "streamer and sampler out of step"
    frames = decode(stream, rise, c)
    ms = period / 1e6
    gaps = [b[0] - a[0] for a, b in zip(frames, frames[1:]) if seg["lone"] <= a[0] < seg["spindle"]]
    print(f"thread {period} ns, cycles-per-bit {c}: {n} periods, {len(frames)} frames")
    print(f"streamer and sampler in step for all {len(check_j5b)} samples (j5-b as sent); after them:",
          [" ".join(line.split()[-2:]) for line in log.splitlines() if "underruns" in line or "overruns" in line])
    print(f"bit time: {c} periods = {c * ms:g} ms; shortest frame spacing {min(gaps)} periods = {min(gaps) * ms:g} ms,"
          f" {1000 / (min(gaps) * ms):.0f} frames/s")

    def show(label, got):
        print(f"{label}: {len(got)} changes, {min(got)}..{max(got)} periods = {min(got) * ms:g}..{max(got) * ms:g} ms,"
              f" mean {sum(got) / len(got) * ms:.2f} ms")

    show("lone output change (k1)", latencies(rows, frames, seg["lone"], seg["spindle"], [5]))
    show("lone spindle change (0.25 <-> 0.75)", latencies(rows, frames, seg["spindle"], seg["stress"], [9]))
    show("outputs, all changing (stress)", latencies(rows, frames, seg["stress"], seg["pulses"], range(1, 9)))
    show("spindle, all changing (stress)", latencies(rows, frames, seg["stress"], seg["pulses"], [9]))
    t = seg["pulses"]
    for bits in (3, 5, 9, 10, 11):
        seen, lengths = 0, set()
        for _ in range(20):
            start = t
            while rows[t][2] == 1:
                t += 1
            lengths.add(t - start)
            seen += any(start <= f[0] < t and f[2] >> 4 == 0 and f[2] >> 1 & 1 for f in frames)
            while t < n and rows[t][2] == 0:
                t += 1
        print(f"pulse of {'/'.join(map(str, sorted(lengths)))} periods "
              f"({'/'.join(f'{x * ms:g}' for x in sorted(lengths))} ms) on j5-b: {seen} of 20 reached the board")


if __name__ == "__main__":
    main()
