"""The package's file work for scripts/package and scripts/test-package: the guide made one file,
a zip whose bytes depend only on its files and the commit's time, and the guide's links checked."""
import base64
import html.parser
import os
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
