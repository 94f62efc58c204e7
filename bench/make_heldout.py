#!/usr/bin/python3
"""Held-out corpora for the usefulness benchmark: text nobody tuned on.

bench/make_corpora.py makes the corpora the settings were chosen on; these
are kept apart, to check the choice once at the end:

  pkg_en, pkg_de, pkg_ja  Debian package descriptions in English, German and
                          Japanese (the Translation-LANG package lists), each
                          labelled by its package's section (from the
                          Packages lists; "contrib/" and "non-free/" cut
                          off).  A document is the short description and
                          the long one, lines joined by blanks, the "."
                          lines left out; a description shared by several
                          packages is taken once, with the first one's
                          section.
  fortunes                the fortune cookies of Debian's `fortunes` and
                          `fortunes-min`, each labelled by its file.

Sections and files with fewer than MIN_CLASS documents are left out; of a
larger corpus MAX_DOCS documents are drawn (random.Random(0)), in their
order, and the classes left with fewer than MIN_CLASS of them dropped.  Writes NAME.txt (one document a line) and NAME.labels into DIR.

The lists come from `apt-get -o Acquire::Languages=en,de,ja update`; the
cookies from `apt-get install fortunes fortunes-min`.  What a machine has
changes with the archive, so the bench's tables say when they were made.

Usage: /usr/bin/python3 bench/make_heldout.py DIR
"""

import glob
import os
import random
import subprocess
import sys

MAX_DOCS = 8192
MIN_CLASS = 20
LISTS = "/var/lib/apt/lists"
FORTUNES = "/usr/share/games/fortunes"


def list_text(path):
    return subprocess.run(["/usr/lib/apt/apt-helper", "cat-file", path], check=True,
                          capture_output=True).stdout.decode("utf-8", "replace")


def entries(text):
    """Each entry of a package list as {field: value}, continuation lines
    kept (joined by newlines) in the value."""
    for block in text.split("\n\n"):
        fields, last = {}, None
        for line in block.split("\n"):
            if line[:1] in (" ", "\t") and last:
                fields[last] += "\n" + line[1:]
            elif ":" in line:
                last, _, value = line.partition(":")
                fields[last] = value.strip()
        if fields:
            yield fields


def sections():
    found = {}
    for path in sorted(glob.glob(os.path.join(LISTS, "*_Packages*"))):
        for e in entries(list_text(path)):
            if "Package" in e and "Section" in e:
                found.setdefault(e["Package"], e["Section"].split("/")[-1])
    return found


def descriptions(lang, section_of):
    docs, seen = [], set()
    key = "Description-" + lang
    for path in sorted(glob.glob(os.path.join(LISTS, "*_Translation-%s*" % lang))):
        for e in entries(list_text(path)):
            text, package = e.get(key), e.get("Package")
            if not text or package not in section_of or text in seen:
                continue
            seen.add(text)
            lines = [line.strip() for line in text.split("\n")]
            words = " ".join(line for line in lines if line and line != ".")
            docs.append((words, section_of[package]))
    return docs


def fortunes():
    docs = []
    for path in sorted(glob.glob(os.path.join(FORTUNES, "*"))):
        name = os.path.basename(path)
        if "." in name or not os.path.isfile(path):
            continue
        with open(path, encoding="utf-8", errors="replace") as f:
            for cookie in f.read().split("\n%\n"):
                words = " ".join(cookie.split())
                if words and words != "%":
                    docs.append((words, name))
    return docs


def common(docs):
    count = {}
    for _, label in docs:
        count[label] = count.get(label, 0) + 1
    return [d for d in docs if count[d[1]] >= MIN_CLASS]


def write(directory, name, docs):
    docs = common(docs)
    if len(docs) > MAX_DOCS:
        keep = sorted(random.Random(0).sample(range(len(docs)), MAX_DOCS))
        docs = common([docs[k] for k in keep])
    with open(os.path.join(directory, name + ".txt"), "w", encoding="utf-8") as f:
        f.writelines(text + "\n" for text, _ in docs)
    with open(os.path.join(directory, name + ".labels"), "w", encoding="utf-8") as f:
        f.writelines(label + "\n" for _, label in docs)
    print("%s: %d documents, %d classes" % (name, len(docs), len({d[1] for d in docs})))


def main():
    if len(sys.argv) != 2:
        raise SystemExit("usage: make_heldout.py DIR")
    os.makedirs(sys.argv[1], exist_ok=True)
    section_of = sections()
    for lang in ("en", "de", "ja"):
        write(sys.argv[1], "pkg_" + lang, descriptions(lang, section_of))
    write(sys.argv[1], "fortunes", fortunes())


if __name__ == "__main__":
    main()
