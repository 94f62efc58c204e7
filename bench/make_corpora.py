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
  en  paragraphs of Perl's own documentation (perl-doc, the .pod files),
      labelled with the group of the pod file (faq, regex, internals, ...).

Manual pages are rendered by groff (-mandoc, one unbroken line per output
line, no hyphenation, no page breaks); the header and footer lines and the
section headings, which name the page and its section, are left out, and so
are whole sections that list other pages with their section numbers (SEE
ALSO) or that are the same boilerplate across many pages (authors,
translators, copyright, how to report bugs, colophon), since either would
tell a page's section or its project rather than its content.  A paragraph
that occurs more than once is kept once, and not at all when its copies
carry different labels.

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
import html
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
PERL_POD = "/usr/share/perl/*/pod"

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

# Perl's pod files by group.  Left out: the overview and table of contents
# (perl, perltoc), the generated property tables (perluniprops), the
# glossary and module list (perlglossary, perlmodlib), the licences and the
# pages in other languages (perlcn, perljp, perlko, perltw).
PERL_GROUPS = {
    "faq": "perlfaq perlfaq1 perlfaq2 perlfaq3 perlfaq4 perlfaq5 perlfaq6 perlfaq7 "
           "perlfaq8 perlfaq9",
    "regex": "perlre perlrequick perlretut perlrebackslash perlrecharclass perlreref "
             "perlreapi perlreguts",
    "functions": "perlfunc",
    "language": "perldata perlop perlsyn perlsub perlvar perlref perlreftut perldsc "
                "perllol perlform perlmod perlnumber perlpragma perltrap perlcheat "
                "perlintro perlstyle perlpacktut",
    "objects": "perlobj perlootut perlboot perlbot perltoot perltooc perltie",
    "modules": "perlmodinstall perlmodstyle perlnewmod",
    "internals": "perlguts perlapi perlintern perlapio perliol perlinterp perlcall "
                 "perlembed perlxs perlxstut perlxstypemap perlclib perlmroapi "
                 "perldebguts perlfilter perldtrace",
    "unicode": "perlunicode perluniintro perlunifaq perlunitut perlunicook perlebcdic "
               "perllocale",
    "platforms": "perlport perlaix perlamiga perlandroid perlbs2000 perlcygwin "
                 "perlfreebsd perlhaiku perlhpux perlhurd perlirix perllinux "
                 "perlmacosx perlopenbsd perlos2 perlos390 perlos400 perlplan9 perlqnx "
                 "perlriscos perlsolaris perlsynology perltru64 perlvms perlvos "
                 "perlwin32",
    "development": "perlhack perlhacktips perlhacktut perlgit perlpolicy perlsource "
                   "perlrepository perlgov perldocstyle perlhist perltodo "
                   "perlexperiment perldeprecation perlsecpolicy perlcommunity "
                   "perlbook",
    "processes": "perlipc perlfork perlthrtut perlopentut perlsec perlrun perldbmfilter",
    "debugging": "perldebug perldebtut perlperf",
    "diagnostics": "perldiag perllexwarn",
    "pod": "perlpod perlpodspec perlpodstyle perldoc perlutil",
}
PERL_GROUP_OF = {name: group for group, names in PERL_GROUPS.items()
                 for name in names.split()}
PERL_DELTA = re.compile(r"^perl(\d+)?delta$")  # release notes: group "delta"

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


# ------------------------------------------------------------------ perl pods

POD_ESCAPES = {"lt": "<", "gt": ">", "verbar": "|", "sol": "/"}


def format_code(letter, content):
    if letter == "X" or letter == "Z":  # index entries, zero-width
        return ""
    if letter == "E":
        if content in POD_ESCAPES:
            return POD_ESCAPES[content]
        if content.isdigit():
            return chr(int(content))
        if content.lower().startswith("0x"):
            return chr(int(content, 16))
        return html.unescape(f"&{content};")
    if letter == "L":
        # L<text|target> shows the text; L<name/"section"> the section
        # and the page, as pod2text does; L<name> the name.
        if "|" in content:
            return content.split("|", 1)[0]
        if "://" in content:
            return content
        page, _, section = content.partition("/")
        section = section.strip('"')
        return f'"{section}" in {page}' if page and section else (section or page)
    return content


def pod_text(paragraph):
    """An ordinary pod paragraph as plain text, its formatting codes
    resolved.  A code opens with a capital letter and one or more '<' (two
    or more followed by white space) and closes at the first '>' that no
    inner code holds, or for the wider form at white space followed by as
    many '>' as it opened with; a '<' or '>' that opens or closes nothing is
    text."""
    stack = [["", 0, []]]  # letter, brackets (0: the paragraph), pieces
    i, n = 0, len(paragraph)
    while i < n:
        c = paragraph[i]
        if c.isascii() and c.isupper() and paragraph.startswith("<", i + 1):
            j = i + 1
            while j < n and paragraph[j] == "<":
                j += 1
            brackets = j - i - 1
            if brackets == 1:
                stack.append([c, 1, []])
                i = j
                continue
            if j < n and paragraph[j].isspace():
                stack.append([c, brackets, []])
                i = j + 1
                continue
            stack.append([c, 1, []])  # C<<x>: a single code holding "<x"
            stack[-1][2].append("<" * (brackets - 1))
            i = j
            continue
        top = stack[-1]
        if top[1] == 1 and c == ">":
            stack.pop()
            stack[-1][2].append(format_code(top[0], "".join(top[2])))
            i += 1
            continue
        if top[1] > 1 and c.isspace():
            j = i
            while j < n and paragraph[j].isspace():
                j += 1
            if paragraph.startswith(">" * top[1], j):
                stack.pop()
                stack[-1][2].append(format_code(top[0], "".join(top[2])))
                i = j + top[1]
                continue
        top[2].append(c)
        i += 1
    while len(stack) > 1:  # unclosed codes: their text as it stands
        letter, brackets, pieces = stack.pop()
        stack[-1][2].append(format_code(letter, "".join(pieces)))
    return clean("".join(stack[0][2]))


def pod_paragraphs(source):
    """The ordinary paragraphs of a pod file: no commands (=head, =item ...),
    no verbatim (indented, code) paragraphs, nothing between =begin and
    =end, nothing after =cut until the next command."""
    paragraphs, block, in_pod = [], None, True
    for paragraph in re.split(r"\n[ \t]*\n", source):
        paragraph = paragraph.strip("\n")
        if not paragraph:
            continue
        if paragraph.startswith("="):
            command = paragraph.split(None, 2)
            in_pod = command[0] != "=cut"
            if command[0] == "=begin":
                block = command[1] if len(command) > 1 else ""
            elif command[0] == "=end":
                block = None
            continue
        if not in_pod or block is not None or paragraph[0] in " \t":
            continue
        paragraphs.append(pod_text(paragraph))
    return paragraphs


def perl_documents():
    directories = sorted(glob.glob(PERL_POD))
    if not directories:
        sys.exit("make_corpora: no pod files under " + PERL_POD)
    for path in sorted(glob.glob(os.path.join(directories[-1], "*.pod"))):
        name = os.path.basename(path)[:-len(".pod")]
        group = "delta" if PERL_DELTA.match(name) else PERL_GROUP_OF.get(name)
        if group is None:
            continue
        with open(path, encoding="utf-8", errors="replace") as f:
            for paragraph in pod_paragraphs(f.read()):
                yield group, paragraph


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
    packages = {n: MAN_CORPORA[n][1] if n in MAN_CORPORA else "perl-doc" for n in names}
    ensure_packages(sorted(set(packages.values())) + ["groff-base"])
    os.makedirs(args.data, exist_ok=True)
    manifest_path = os.path.join(args.data, "manifest.json")
    manifest = {}
    if os.path.exists(manifest_path):
        with open(manifest_path) as f:
            manifest = json.load(f)
    for name in names:
        if name == "en":
            documents = perl_documents()
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
