#!/usr/bin/python3
"""Labelled corpora for bench/usefulness.py, made from Debian packages.

Each corpus is written to DIR as NAME.txt (one document per line) and
NAME.labels (its label, one per line), and DIR/manifest.json records the
packages' versions, the settings and the sizes.  The same packages give the
same files: the sampling uses a fixed seed and the inputs are read in
sorted order.

  ja  paragraphs of the Japanese manual pages (manpages-ja), labelled with
      the manual section they come from (the directory man1, man5, ...);
  de  the same from the German pages (manpages-de);
  zh  the same from the simplified Chinese pages (manpages-zh, zh_CN);
  en  paragraphs of Python's library reference (python3.11-doc, the reST
      sources of the HTML pages), labelled with the chapter of the module
      page they come from (text processing, networking, concurrency, ...).

Manual pages are rendered by groff (-mandoc, one unbroken line per output
line, no hyphenation, no page breaks); the header and footer lines and the
section headings, which name the page and its section, are left out, and so
are whole sections that list other pages with their section numbers (SEE
ALSO) or that are the same boilerplate across many pages (authors,
translators, copyright, how to report bugs, colophon), since either would
tell a page's section or its project rather than its content.  A paragraph
that occurs more than once is kept once, and not at all when its copies
carry different labels.

The library reference's pages are read in their reST source: headings,
comments, tables, interactive examples (>>>), literal blocks (after '::')
and the bodies of directives that hold code, indexes, cross references or
authors are left out, as are the directives' own lines (a function's
signature, a module's name); the descriptions under function, class, note,
versionchanged and the like are kept.  Inline markup is resolved to the
text it shows (:func:`~os.path.join` is "join", ``x`` is "x").

Within a document, tabs, line ends and runs of blanks become one blank and
NUL bytes are removed; documents shorter than MIN_BYTES or longer than
MAX_BYTES (UTF-8) are left out.  Classes with fewer than MIN_CLASS
documents are dropped, and every class is cut (by a seeded sample) to the
same cap, the largest that keeps the corpus within MAX_DOCS documents and
MAX_TOTAL bytes.

Run as root, installs the packages it needs with apt-get when missing.

Usage: make_corpora.py [--data DIR] [--corpora ja,de,zh,en] [--seed N]
"""

import argparse
import collections
import concurrent.futures
import glob
import gzip
import json
import os
import random
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_DATA = os.path.join(os.path.dirname(HERE), "build-bench", "usefulness-data")

MIN_BYTES = 40
MAX_BYTES = 5000
MIN_CLASS = 50
MAX_DOCS = 8000
MAX_TOTAL = 3_000_000

# Manual pages: the directory under /usr/share/man and the package.
MAN_CORPORA = {
    "ja": ("ja", "manpages-ja"),
    "de": ("de", "manpages-de"),
    "zh": ("zh_CN", "manpages-zh"),
}

# Section headings whose whole section is left out: cross references
# (page names with their section numbers) and boilerplate (authors,
# translators, copyright, where to report bugs, where the page comes from).
# Matched case-insensitively as substrings of the heading line.
DROPPED_HEADINGS = [
    # see also
    "see also", "関連項目", "参照", "siehe auch", "参见", "另见", "相关命令",
    # authors, translators, thanks
    "author", "著者", "作者", "翻訳", "謝辞", "翻訳者", "übersetzung", "übersetzer",
    "autor", "danksagung", "译者", "中文版", "翻译计划", "跋",
    # copyright and licence
    "copyright", "copying", "著作権", "版权", "免責", "kopieren", "lizenz",
    # reporting bugs, availability, contact, colophon
    "バグ報告", "fehler melden", "报告错误", "reporting bugs", "bug report",
    "入手方法", "verfügbarkeit", "availability", "homepage", "kontakt",
    "メーリングリスト", "colophon", "kolophon", "奥付", "この文書について",
    "ursprung des dokuments", "texi dokumentation",
    # keyword lists of the Tcl/Tk pages
    "keywords", "关键字",
]

# Python's library reference: the chapters of library/index, each with the
# module pages its table of contents lists (recursively); the pages the index
# lists directly without a table of contents of their own (built-in
# functions, constants, types, exceptions) are one class.
PYTHON_DOC = "/usr/share/doc/python3*/html/_sources/library"
PYTHON_BUILTINS = "builtins"
PYTHON_PACKAGE = "python3.11-doc"

WHITESPACE = re.compile(r"\s+")


def clean(text):
    """One line of text: NUL bytes removed, every run of white space one blank."""
    return WHITESPACE.sub(" ", text.replace("\0", "")).strip()


def ensure_packages(packages):
    missing = [p for p in packages if subprocess.run(
        ["dpkg-query", "-W", "-f=${Status}", p], capture_output=True,
        text=True).stdout != "install ok installed"]
    if not missing:
        return
    if os.geteuid() != 0:
        sys.exit(f"make_corpora: install the Debian packages {' '.join(missing)}")
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    print("make_corpora: apt-get install " + " ".join(missing), file=sys.stderr)
    if subprocess.run(["apt-get", "install", "-y", "-q"] + missing, env=env).returncode:
        subprocess.run(["apt-get", "update", "-q"], env=env, check=True)
        subprocess.run(["apt-get", "install", "-y", "-q"] + missing, env=env, check=True)


def version(package):
    return subprocess.run(["dpkg-query", "-W", "-f=${Version}", package],
                          capture_output=True, text=True, check=True).stdout


# ---------------------------------------------------------------- manual pages

GROFF = ["groff", "-Tutf8", "-mandoc", "-k", "-rLL=3000n", "-rcR=1", "-rHY=0",
         "-P-cbou"]


def render(path):
    """The page at path as groff renders it, or None for a page that only
    sources another (.so) or that groff cannot read."""
    with open(path, "rb") as f:
        raw = f.read()
    if path.endswith(".gz"):
        raw = gzip.decompress(raw)
    if raw.lstrip().startswith(b".so "):
        return None
    done = subprocess.run(GROFF, input=raw, capture_output=True,
                          env=dict(os.environ, LC_ALL="C.UTF-8"))
    if done.returncode:
        return None
    return done.stdout.decode("utf-8", "replace")


def page_paragraphs(text):
    """The paragraphs of a rendered page.  Lines that start in the first
    column are the header, the footer and the section headings: none is
    kept, and a heading in DROPPED_HEADINGS leaves out its section.  Other
    lines run together until a blank line."""
    paragraphs, current, dropped = [], [], False

    def flush():
        if current and not dropped:
            paragraphs.append(clean(" ".join(current)))
        current.clear()

    for line in text.split("\n"):
        if not line.strip():
            flush()
        elif not line[0].isspace():
            flush()
            heading = line.strip().lower()
            dropped = any(word in heading for word in DROPPED_HEADINGS)
        else:
            current.append(line)
    flush()
    return paragraphs


def man_documents(directory):
    """(label, text) of every paragraph of the pages under
    /usr/share/man/DIRECTORY/man*/, labelled with the section number of
    the directory; symbolic links (other names of a page) are skipped."""
    paths = [p for p in sorted(glob.glob(f"/usr/share/man/{directory}/man*/*"))
             if os.path.isfile(p) and not os.path.islink(p)]
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        rendered = pool.map(render, paths)
        for path, text in zip(paths, rendered):
            if text is None:
                continue
            section = os.path.basename(os.path.dirname(path))[len("man"):]
            for paragraph in page_paragraphs(text):
                yield section, paragraph


# ------------------------------------------------------ python's library docs

ADORNMENT = re.compile(r"^([!-/:-@\[-`{-~])\1{3,}\s*$")  # a heading's under- or overline
DIRECTIVE = re.compile(r"^\.\.\s+([\w:-]+)::")
TOCTREE_ENTRY = re.compile(r"^\s+([\w./-]+?)(?:\.rst)?\s*$")
# Directives whose body is prose about the thing they declare; the body of
# any other directive (code, tables, indexes, cross references, authors,
# tables of contents) is left out, and so is every directive's own line.
PROSE_DIRECTIVES = set("""
    function method classmethod staticmethod decorator decoratormethod
    coroutinefunction coroutinemethod awaitablefunction awaitablemethod
    data attribute class exception describe opcode cmdoption option envvar
    pdbcommand note warning important caution impl-detail sidebar
    deprecated deprecated-removed versionadded versionchanged
""".split())

ROLE = re.compile(r"(?::[\w.+-]+(?::[\w.+-]+)*:)?`([^`]+)`_{0,2}")
LITERAL = re.compile(r"``(.+?)``")
STRONG = re.compile(r"\*\*(.+?)\*\*")
EMPHASIS = re.compile(r"(?<![\w*])\*([^*\s](?:[^*]*?[^*\s])?)\*(?![\w*])")
FOOTNOTE = re.compile(r"\s*\[[^\]\s]+\]_")
BULLET = re.compile(r"^(?:[-*+\u2022]|#\.|\d+\.|\(?[a-z\d]\))\s+")


def role_text(match):
    """What reST shows for `text <target>`, :role:`~a.b.c` or :role:`!x`."""
    text = match.group(1)
    titled = re.match(r"^(.*?)\s*<[^<>]*>$", text, re.S)
    if titled and titled.group(1):
        return titled.group(1)
    if text.startswith("~"):
        return text[1:].rsplit(".", 1)[-1]
    return text.lstrip("!")


def rst_text(lines):
    """A reST paragraph's lines as plain text: list markers, inline markup
    and footnote references taken away; a closing '::' becomes ':'."""
    lines = [BULLET.sub("", line.strip()) for line in lines]
    text = " ".join(lines)
    if text.endswith("::"):
        text = text[:-2].rstrip() + (":" if not text[:-2].endswith(" ") else "")
    placeholders = []

    def hold(match):  # literals are kept from the other rules
        placeholders.append(match.group(1))
        return f"\x00{len(placeholders) - 1}\x00"

    text = LITERAL.sub(hold, text)
    text = FOOTNOTE.sub("", text)
    text = ROLE.sub(role_text, text)
    text = STRONG.sub(r"\1", text)
    text = EMPHASIS.sub(r"\1", text)
    text = text.replace("\\ ", "")
    text = re.sub(r"\\(.)", r"\1", text)  # escaped characters
    text = re.sub(r"\x00(\d+)\x00", lambda m: placeholders[int(m.group(1))], text)
    return clean(text)


def indent_of(line):
    return len(line) - len(line.lstrip(" "))


def rst_paragraphs(source):
    """The prose paragraphs of a reST page: no headings, no literal blocks
    (after '::'), no interactive examples (>>>), no tables, no comments, no
    directive lines and no bodies of directives but those in
    PROSE_DIRECTIVES."""
    paragraphs, current = [], []
    skip_deeper = None  # lines indented further than this are left out
    skip_to_blank = False  # a directive's signature lines and options

    def flush():
        if current:
            first = current[0].strip()
            if not first.startswith((">>>", "+-", "==")):
                paragraphs.append(rst_text(current))
        current.clear()

    for line in source.expandtabs(8).split("\n"):
        if not line.strip():
            flush()
            skip_to_blank = False
            continue
        indent = indent_of(line)
        if skip_to_blank:
            continue
        if skip_deeper is not None:
            if indent > skip_deeper:
                continue
            skip_deeper = None
        if ADORNMENT.match(line):  # the line before was a heading
            if current:
                current.pop()
            flush()
            continue
        stripped = line.strip()
        if stripped.startswith(".."):
            flush()
            directive = DIRECTIVE.match(stripped)
            if directive and directive.group(1).split(":")[-1] in PROSE_DIRECTIVES:
                skip_to_blank = True
            else:  # comment, target, or a directive without prose
                skip_deeper = indent
            continue
        if current and indent < indent_of(current[-1]):  # a new block
            flush()
        current.append(line)
        if stripped.endswith("::"):  # a literal block follows
            flush()
            skip_deeper = indent
    flush()
    return paragraphs


def python_labels(library):
    """The class of every page of the library reference, by the chapter whose
    table of contents leads to it."""
    def toctree(name):
        path = os.path.join(library, name + ".rst.txt")
        if not os.path.exists(path):
            return []
        entries, inside = [], False
        with open(path, encoding="utf-8") as f:
            for line in f:
                if line.startswith(".. toctree::"):
                    inside = True
                elif inside and line.strip() and not line[0].isspace():
                    inside = False
                elif inside:
                    entry = TOCTREE_ENTRY.match(line)
                    if entry and not line.strip().startswith(":"):
                        entries.append(entry.group(1))
        return entries

    labels = {}
    for chapter in toctree("index"):
        pages = toctree(chapter)
        label = chapter if pages else PYTHON_BUILTINS
        queue = [chapter]
        while queue:
            page = queue.pop(0)
            if page in labels:
                continue
            labels[page] = label
            queue += toctree(page)
    return labels


def python_documents():
    libraries = sorted(glob.glob(PYTHON_DOC))
    if not libraries:
        sys.exit("make_corpora: no reST sources under " + PYTHON_DOC)
    library = libraries[-1]
    for page, label in sorted(python_labels(library).items()):
        path = os.path.join(library, page + ".rst.txt")
        if not os.path.exists(path):
            continue
        with open(path, encoding="utf-8", errors="replace") as f:
            for paragraph in rst_paragraphs(f.read()):
                yield label, paragraph


# -------------------------------------------------------------------- corpora

def select(documents, seed):
    """The documents kept, in a seeded order: duplicates dropped (all of a
    text's copies when they disagree on the label), lengths bounded, small
    classes dropped, every class cut to one cap."""
    labels_of, order = collections.defaultdict(set), []
    for label, text in documents:
        size = len(text.encode("utf-8"))
        if size < MIN_BYTES or size > MAX_BYTES:
            continue
        if text not in labels_of:
            order.append(text)
        labels_of[text].add(label)
    by_class = collections.defaultdict(list)
    for text in order:
        if len(labels_of[text]) == 1:
            by_class[next(iter(labels_of[text]))].append(text)
    found = {label: len(texts) for label, texts in sorted(by_class.items())}
    by_class = {label: texts for label, texts in by_class.items()
                if len(texts) >= MIN_CLASS}
    rng = random.Random(seed)
    for label in sorted(by_class):
        rng.shuffle(by_class[label])

    def take(cap):
        return [(label, text) for label in sorted(by_class)
                for text in by_class[label][:cap]]

    def fits(cap):
        kept = take(cap)
        return len(kept) <= MAX_DOCS and \
            sum(len(t.encode("utf-8")) + 1 for _, t in kept) <= MAX_TOTAL

    low, high = 0, max(len(texts) for texts in by_class.values())
    while low < high:  # the largest cap that fits
        middle = (low + high + 1) // 2
        if fits(middle):
            low = middle
        else:
            high = middle - 1
    kept = take(low)
    rng.shuffle(kept)
    return kept, found, low


def write_corpus(data, name, kept):
    with open(os.path.join(data, name + ".txt"), "w", encoding="utf-8") as text, \
            open(os.path.join(data, name + ".labels"), "w", encoding="utf-8") as labels:
        for label, document in kept:
            text.write(document + "\n")
            labels.write(label + "\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--data", default=DEFAULT_DATA)
    parser.add_argument("--corpora", default="ja,de,zh,en")
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()
    names = [n for n in args.corpora.split(",") if n]
    for name in names:
        if name not in MAN_CORPORA and name != "en":
            sys.exit(f"make_corpora: unknown corpus {name!r}")
    packages = {n: MAN_CORPORA[n][1] if n in MAN_CORPORA else PYTHON_PACKAGE for n in names}
    ensure_packages(sorted(set(packages.values())) + ["groff-base"])
    os.makedirs(args.data, exist_ok=True)
    manifest_path = os.path.join(args.data, "manifest.json")
    manifest = {}
    if os.path.exists(manifest_path):
        with open(manifest_path) as f:
            manifest = json.load(f)
    for name in names:
        if name == "en":
            documents = python_documents()
        else:
            documents = man_documents(MAN_CORPORA[name][0])
        kept, found, cap = select(documents, args.seed)
        write_corpus(args.data, name, kept)
        counts = collections.Counter(label for label, _ in kept)
        manifest[name] = dict(
            package=packages[name], version=version(packages[name]),
            groff=version("groff-base") if name in MAN_CORPORA else None,
            seed=args.seed, documents=len(kept),
            bytes=sum(len(t.encode("utf-8")) + 1 for _, t in kept),
            classes=dict(sorted(counts.items())), found=found, cap=cap)
        print(f"{name}: {len(kept)} documents, {manifest[name]['bytes']} bytes, "
              f"{len(counts)} classes {dict(sorted(counts.items()))} "
              f"(found {found})", file=sys.stderr)
    with open(manifest_path, "w") as f:
        json.dump(manifest, f, indent=1, ensure_ascii=False)
        f.write("\n")


if __name__ == "__main__":
    main()
