"""The package's file work for scripts/package, scripts/rebuild and scripts/test-package: the version,
the source tree's state and its archive, the guide made one file, a zip whose bytes depend only on its
files and the commit's time, a rebuilt zip compared file by file, and the guide's links checked."""
import base64
import gzip
import hashlib
import io
import html
import html.parser
import os
import re
import subprocess
import sys
import tarfile
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


STAMP = "SOURCE-STAMP.txt"


def _git(root, *args):
    return subprocess.run(["git", "-C", root, *args], capture_output=True, text=True, check=True).stdout


def _in_git(root):
    try:
        return os.path.samefile(_git(root, "rev-parse", "--show-toplevel").strip(), root)
    except (subprocess.CalledProcessError, FileNotFoundError):
        return False


def read_stamp(root):
    """The stamp a source archive carries: its fields, and its files as {path: (sha256, mode)}."""
    fields, files = {}, {}
    for line in _bytes(os.path.join(root, STAMP)).decode("utf-8").splitlines():
        if m := re.match(r"^([0-9a-f]{64}) (644|755) (.+)$", line):
            files[m.group(3)] = (m.group(1), m.group(2))
        elif m := re.match(r"^(\w+): (.*)$", line):
            fields[m.group(1)] = m.group(2)
    return fields, files


def _release(root):
    """The release number of src/mach3/version.h, "2012.6.22.1"."""
    text = _bytes(os.path.join(root, "src/mach3/version.h")).decode("utf-8")
    parts = [re.search(rf"^#define TRELVO_{key} (\d+)$", text, re.M)
             for key in ("VERSION_YEAR", "VERSION_MONTH", "VERSION_DAY", "RELEASE")]
    if not all(parts):
        raise SystemExit("no version in src/mach3/version.h")
    return ".".join(m.group(1) for m in parts)


def is_release(changelog):
    """A release's CHANGELOG.md opens with the release's section; any other build's with "Unreleased"."""
    top = re.search(r"^## +(.*?)\s*$", changelog, re.M)
    return bool(top) and top.group(1).strip().lower() != "unreleased"


def version(root):
    """The release number for a release; for any other build, one that says so and sorts after it
    (Debian and semver alike): 2012.6.22.1+dev.<commits>.<hash>. A source archive's stamp has it."""
    if not _in_git(root) and os.path.exists(os.path.join(root, STAMP)):
        return read_stamp(root)[0]["version"]
    release = _release(root)
    if is_release(_bytes(os.path.join(root, "CHANGELOG.md")).decode("utf-8")):
        return release
    if not _in_git(root):
        return release + "+dev.unknown"
    count = _git(root, "rev-list", "--count", "HEAD").strip()
    return f"{release}+dev.{count}.{_git(root, 'rev-parse', '--short=10', 'HEAD').strip()}"


def _address(root):
    """The repository's address for others: origin's, when it is one (a folder on this machine is not)."""
    try:
        url = _git(root, "remote", "get-url", "origin").strip()
    except subprocess.CalledProcessError:
        return ""
    return url if re.match(r"^(\w[\w+.-]*://|[\w.-]+@[\w.-]+:)", url) else ""


def _bytes(path):
    with open(path, "rb") as f:
        return f.read()


def _sha(path):
    return hashlib.sha256(_bytes(path)).hexdigest()


def tree_state(root):
    """What the build is made of: commit, date, address, the files with their modes, and the changes
    (paths that differ from the commit, or that it lacks and a glob could compile), one text each."""
    if _in_git(root):
        listed = _git(root, "ls-files", "-s", "-z").split("\0")
        files = {}
        for entry in filter(None, listed):
            meta, path = entry.split("\t", 1)
            mode = meta.split()[0]
            files[path] = "755" if mode == "100755" else "644"
        changes = [line[3:] for line in _git(root, "status", "--porcelain", "--untracked-files=all").splitlines()]
        return {"commit": _git(root, "rev-parse", "HEAD").strip(),
                "date": _git(root, "log", "-1", "--format=%ct").strip(),
                "repository": _address(root), "files": files, "changes": changes}
    fields, stamped = read_stamp(root)
    changes = [p for p, (sha, mode) in stamped.items()
               if not os.path.isfile(os.path.join(root, p)) or _sha(os.path.join(root, p)) != sha or
               ("755" if os.access(os.path.join(root, p), os.X_OK) else "644") != mode]
    skip = {"build", "dist", ".git"}
    for d, dirs, names in os.walk(root):
        if d == root:
            dirs[:] = [x for x in dirs if x not in skip]
        for n in names:
            rel = os.path.relpath(os.path.join(d, n), root)
            if rel not in stamped and rel != STAMP and not n.endswith(".swp"):
                changes.append(rel)
    return {"commit": fields["commit"], "date": fields["date"], "repository": fields.get("repository", ""),
            "files": {p: mode for p, (_, mode) in stamped.items()}, "changes": sorted(changes)}


def write_source(root, target, ver):
    """A tar.gz of the commit's files under TRELVO-40-<ver>-src/, with a stamp (version, commit, date,
    address, every file's SHA-256) so that it builds with no git: the same bytes from the same commit."""
    state = tree_state(root)
    if state["changes"]:
        raise SystemExit("the tree has changes: no source archive")
    top = f"TRELVO-40-{ver}-src"
    epoch = int(state["date"])
    stamp = [f"TRELVO-40 {ver}: the source of commit {state['commit']}",
             f"version: {ver}", f"commit: {state['commit']}", f"date: {epoch}",
             f"repository: {state['repository']}", "files (sha256 mode path):"]
    stamp += [f"{_sha(os.path.join(root, p))} {m} {p}" for p, m in sorted(state["files"].items())]
    members = [(p, _bytes(os.path.join(root, p)), m) for p, m in sorted(state["files"].items())]
    members.append((STAMP, ("\n".join(stamp) + "\n").encode(), "644"))
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w", format=tarfile.PAX_FORMAT) as tar:
        for path, data, mode in sorted(members):
            info = tarfile.TarInfo(f"{top}/{path}")
            info.size, info.mtime, info.mode = len(data), epoch, int(mode, 8)
            tar.addfile(info, io.BytesIO(data))
    with open(target + ".part", "wb") as out:
        with gzip.GzipFile(filename="", mode="wb", fileobj=out, mtime=0, compresslevel=9) as z:
            z.write(raw.getvalue())
    os.replace(target + ".part", target)


def compare(given, rebuilt):
    """The given zip's files against the rebuilt ones, byte for byte, then against the given
    SHA256SUMS. Returns one line per file and whether everything matched."""
    def listing(folder):
        return {os.path.relpath(os.path.join(d, f), folder) for d, _, names in os.walk(folder) for f in names}
    a, b = listing(given), listing(rebuilt)
    lines, ok = [], True
    for name in sorted(a | b):
        if name not in b:
            lines.append(f"MISSING from the rebuild: {name}")
        elif name not in a:
            lines.append(f"EXTRA in the rebuild: {name}")
        elif _bytes(os.path.join(given, name)) != _bytes(os.path.join(rebuilt, name)):
            lines.append(f"DIFFERS: {name}")
        else:
            lines.append(f"same: {name}")
            continue
        ok = False
    sums = os.path.join(given, "SHA256SUMS")
    listed = {}
    if os.path.isfile(sums):
        for line in _bytes(sums).decode("utf-8", "replace").splitlines():
            if m := re.match(r"^([0-9a-f]{64}) [ *](.+?)\r?$", line):
                listed[m.group(2)] = m.group(1)
    for name in sorted((a - {"SHA256SUMS"}) | set(listed)):
        if name not in listed:
            lines.append(f"SHA256SUMS lacks {name}")
        elif name not in a or _sha(os.path.join(given, name)) != listed[name]:
            lines.append(f"SHA256SUMS does not match the given zip's {name}")
        else:
            continue
        ok = False
    return lines, ok


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
    elif command == "version":
        print(version(args[0]))
    elif command == "state":
        state = tree_state(args[0])
        for key in ("commit", "date", "repository"):
            print(f"{key}: {state[key]}")
        for path in state["changes"]:
            print(f"changed: {path}")
    elif command == "source":
        write_source(*args)
    elif command == "compare":
        lines, ok = compare(*args)
        print("\n".join(lines))
        return 0 if ok else 1
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
