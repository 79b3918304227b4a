"""The package's file work for scripts/package and scripts/test-package: the guide made one file,
a zip whose bytes depend only on its files and the commit's time, and the guide's links checked."""
import base64
import html
import html.parser
import os
import re
import subprocess
import sys
import time
import urllib.parse
import zipfile


class _Refs(html.parser.HTMLParser):
    """Every href and src of a page, and every id it defines."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.refs, self.ids = [], set()

    def handle_starttag(self, tag, attrs):
        for name, value in attrs:
            if name in ("href", "src") and value is not None:
                self.refs.append((tag, name, value))
            if name in ("id", "name") and value:
                self.ids.add(value)


def _refs_of(text):
    parser = _Refs()
    parser.feed(text)
    parser.close()
    return parser


def inline_guide(source, target):
    """Copies the guide with each local image put inside it, so that it opens offline as one file."""
    text = open(source, encoding="utf-8").read()
    folder = os.path.dirname(os.path.abspath(source))
    for tag, name, value in _refs_of(text).refs:
        if tag != "img" or ":" in value:
            continue
        data = open(os.path.join(folder, urllib.parse.unquote(value)), "rb").read()
        kind = "svg+xml" if value.endswith(".svg") else "png"
        uri = f"data:image/{kind};base64," + base64.b64encode(data).decode("ascii")
        text = text.replace(f'src="{value}"', f'src="{uri}"')
    with open(target, "w", encoding="utf-8", newline="\n") as out:
        out.write(text)


TEST_ONLY = ("This is the 64-bit test build (scripts/package --x64): TRELVO-40.dll and trelvo-sim.exe "
             "here are 64-bit, for tests under 64-bit wine. Mach3 loads only the 32-bit TRELVO-40.dll "
             "of the -win32.zip, which is the package for a CNC PC.")


def label_test_only(folder):
    """Says at the top of the 64-bit twin's guide and changelog what that package holds."""
    guide = os.path.join(folder, "TRELVO-40 guide.html")
    text = open(guide, encoding="utf-8").read()
    at = text.index("</h1>") + len("</h1>")
    text = text[:at] + f'\n<p class="note"><b>For tests only.</b> {TEST_ONLY}</p>' + text[at:]
    with open(guide, "w", encoding="utf-8", newline="\n") as out:
        out.write(text)
    changelog = os.path.join(folder, "CHANGELOG.md")
    text = open(changelog, encoding="utf-8", newline="").read()
    with open(changelog, "w", encoding="utf-8", newline="") as out:
        out.write(f"**For tests only.** {TEST_ONLY}\r\n\r\n" + text)


def check_links(page):
    """Every link of the page resolves inside its folder: an anchor it defines, or a file beside it.
    Returns the problems, one text each."""
    folder = os.path.dirname(os.path.abspath(page))
    parsed = _refs_of(open(page, encoding="utf-8").read())
    problems = []
    for tag, name, value in parsed.refs:
        if value.startswith("data:"):
            continue
        url = urllib.parse.urlsplit(value)
        if url.scheme or url.netloc:
            problems.append(f"<{tag} {name}={value!r}> leaves the package")
            continue
        path = urllib.parse.unquote(url.path)
        if path and not os.path.isfile(os.path.join(folder, path)):
            problems.append(f"<{tag} {name}={value!r}>: no file {path!r} in the package")
        elif not path and url.fragment and url.fragment not in parsed.ids:
            problems.append(f"<{tag} {name}={value!r}>: no id {url.fragment!r} in the page")
    if not parsed.refs:
        problems.append("the page has no links at all")
    return problems


def _pe(objdump, path):
    """The imports of a PE file, as (DLL, function), and its OS and subsystem versions."""
    out = subprocess.run([objdump, "-p", path], capture_output=True, text=True, check=True).stdout
    fields = dict(re.findall(r"^(M\w+(?:OSystem|Subsystem)Version)\t+(\d+)$", out, re.M))
    versions = {kind: (int(fields[f"Major{kind}Version"]), int(fields[f"Minor{kind}Version"]))
                for kind in ("OSystem", "Subsystem")}
    imports, dll = [], None
    for line in out.splitlines():
        m = re.match(r"\tDLL Name: (\S+)$", line)
        if m:
            dll = m.group(1).upper()
        elif dll and (m := re.match(r"\t[0-9a-f]+\s+\d+\s+(\S+)$", line)):
            imports.append((dll, m.group(1)))
    return imports, versions


def check_floor(objdump, floor, listing, report, programs):
    """Each program's PE OS and subsystem versions are at most `floor` ("5.1"); with a listing, each
    import is in it. Writes every import and the oldest Windows that has it to `report`; returns one
    line per program and the problems."""
    most = tuple(int(n) for n in floor.split("."))
    known = {}
    if listing != "-":
        for line in open(listing, encoding="utf-8"):
            if line.strip() and not line.startswith("#"):
                dll, name, since, _ = line.rstrip("\n").split("\t")
                known[(dll, name)] = since
    lines, problems = [], []
    with open(report, "w", encoding="utf-8") as out:
        for program in programs:
            imports, versions = _pe(objdump, program)
            name = os.path.basename(program)
            shown = ", ".join(f"{k.replace('OSystem', 'OS').lower()} {a}.{b}" for k, (a, b) in versions.items())
            for kind, version in versions.items():
                if version > most:
                    problems.append(f"{name}: PE {kind} version {version[0]}.{version[1]} is above {floor}")
            out.write(f"{name}: PE {shown}; {len(imports)} imports\n")
            missing = [f"{dll} {fn}" for dll, fn in imports if listing != "-" and (dll, fn) not in known]
            for dll, fn in imports:
                out.write(f"  {dll} {fn}: {known.get((dll, fn), 'NOT IN THE LIST' if listing != '-' else 'not checked')}\n")
            if missing:
                problems.append(f"{name}: not in {os.path.basename(listing)}: {', '.join(missing)}")
            dlls = sorted({dll for dll, _ in imports})
            lines.append(f"{name}: PE {shown} (at most {floor}); {len(imports)} imports from {' '.join(dlls)}" +
                         ("" if listing == "-" else f", {len(imports) - len(missing)} of them in the XP SP3 list"))
    return lines, problems


def page_machine(page):
    """What the wiring check's page names as the machine it checked (its profile's path)."""
    m = re.search(r"<title>TRELVO-40/41 wiring check of (.*?)</title>", open(page, encoding="utf-8").read())
    return html.unescape(m.group(1)) if m else ""


def write_zip(stage, top, target, epoch):
    """Zips stage/top as top/..., entries sorted, one fixed time (the commit's) and fixed modes."""
    stamp = time.gmtime(max(int(epoch), 315532800))[:6]  # zip times start in 1980
    root = os.path.join(stage, top)
    names = sorted(os.path.relpath(os.path.join(d, f), root) for d, _, files in os.walk(root) for f in files)
    with zipfile.ZipFile(target + ".part", "w") as z:
        entry = zipfile.ZipInfo(top + "/", stamp)
        entry.external_attr = (0o40755 << 16) | 0x10
        entry.create_system = 3
        z.writestr(entry, b"")
        for name in names:
            entry = zipfile.ZipInfo(f"{top}/{name}", stamp)
            entry.external_attr = 0o100644 << 16
            entry.create_system = 3
            entry.compress_type = zipfile.ZIP_DEFLATED
            with open(os.path.join(root, name), "rb") as f:
                z.writestr(entry, f.read(), compresslevel=9)
    os.replace(target + ".part", target)


def main(argv):
    command, args = argv[1], argv[2:]
    if command == "guide":
        inline_guide(*args)
    elif command == "zip":
        write_zip(*args)
    elif command == "test-only":
        label_test_only(*args)
    elif command == "floor":
        lines, problems = check_floor(*args[:4], args[4:])
        print("\n".join(lines))
        for p in problems:
            print(p, file=sys.stderr)
        return 1 if problems else 0
    elif command == "machine":
        print(page_machine(args[0]))
    elif command == "links":
        problems = check_links(args[0])
        for p in problems:
            print(f"{os.path.basename(args[0])}: {p}", file=sys.stderr)
        return 1 if problems else 0
    else:
        print(f"package.py: unknown command {command}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
