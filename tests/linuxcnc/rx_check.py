#!/usr/bin/python3
"""trelvo40rx under halrun, fed hand-built frames: rx_check.py lines FILE | rx_check.py check HALRUN_OUTPUT.

`lines` writes halstreamer's input: two lines, one a bit a period (board fast) and the same frames at
three periods a bit (board slow). `check` reads halrun's output (`show pin` and `show param` of both
boards and the messages) and exits 1 unless each board holds what the good frames set and counts the
bad ones.
"""
import sys

SLOW = 3
# J5 A and C; K2 and J6 17; the spindle word 0x9FF in three nibbles (duty 511, on, counter-clockwise).
GOOD = [0x05, 0x1A, 0x2F, 0x3F, 0x49]
WANT = {"j5-a": "TRUE", "j5-b": "FALSE", "j5-c": "TRUE", "j5-d": "FALSE", "k1": "FALSE", "k2": "TRUE",
        "j6-16": "FALSE", "j6-17": "TRUE", "spindle-on": "TRUE", "spindle-ccw": "TRUE",
        "frames": "0x00000005", "framing-errors": "0x00000001", "parity-errors": "0x00000001"}
DUTY = 511 / 1023


def frame(word, parity_ok=True, stop=1):
    data = [(word >> k) & 1 for k in range(7)]
    parity = (sum(data) + 1) % 2 if parity_ok else sum(data) % 2
    return [0] + data + [parity, stop]


def line_bits():
    bits = [1] * 5
    for word in GOOD:
        bits += frame(word) + [1] * 2
    bits += frame(0x1F, parity_ok=False) + [1] * 2  # every relay on, if it were taken
    bits += frame(0x0F, stop=0) + [0] * 3 + [1] * 4  # J5 all on, if it were taken
    return bits


def write_lines(path):
    bits = line_bits()
    slow = [b for b in bits for _ in range(SLOW)]
    fast = bits + [1] * (len(slow) - len(bits))
    with open(path, "w") as out:
        for f, s in zip(fast, slow):
            out.write(f"{f} {s}\n")
    print(len(slow))


def check(path):
    pins, failures = {}, 0
    text = open(path).read()
    for line in text.splitlines():
        fields = line.split()
        if len(fields) >= 5 and fields[4].startswith(("fast.", "slow.")):
            pins[fields[4]] = fields[3]
    for board in ("fast", "slow"):
        for name, value in WANT.items():
            got = pins.get(f"{board}.{name}")
            if got != value:
                print(f"FAIL {board}.{name} is {got}, not {value}")
                failures += 1
        duty = float(pins.get(f"{board}.spindle-duty", "nan"))
        if abs(duty - DUTY) > 1e-6:
            print(f"FAIL {board}.spindle-duty is {duty}, not {DUTY:.7f}")
            failures += 1
    if "fast.cycles-per-bit 0 is outside 1 to 1000: set to 1" not in text or pins.get("fast.cycles-per-bit") != "0x00000001":
        print("FAIL fast.cycles-per-bit 0 was not clamped to 1 with its message")
        failures += 1
    print(f"trelvo40rx names=fast,slow: {len(pins)} pins and parameters read; "
          + ("PASS" if failures == 0 else f"FAIL ({failures})"))
    return failures


if __name__ == "__main__":
    if sys.argv[1] == "lines":
        write_lines(sys.argv[2])
    else:
        sys.exit(1 if check(sys.argv[2]) else 0)
