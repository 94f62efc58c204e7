#!/usr/bin/env python3
"""Writes a deterministic, natural-language-like ASCII corpus for benchmarks.

One document per line, about SIZE bytes in all (line ends included), in
at most 8192 documents of about 640 bytes, or in exactly DOCS documents
when -d is given (for corpora beyond the described tree's limits).  The words are made up from syllables; their
frequencies follow a Zipf law over the vocabulary, with short words at the
top ranks as in real text.  Sentences start with a capital, carry a few
commas, the odd number and proper name, and end in ". ", "? " or "! ".
The same size and seed always give the same bytes.

Usage: gen_corpus.py SIZE [-s SEED] [-d DOCS] [-o FILE]
       SIZE in bytes, or with a suffix k/K (1000) or M (1,000,000): 500k, 2M
"""

import argparse
import random
import sys

MAX_DOCS = 8192
MEAN_DOC_BYTES = 640      # 5 MB -> about 7800 documents, under the limit
VOCAB_SIZE = 30000
ZIPF_EXPONENT = 1.05
NAME_SHARE = 0.03         # share of the vocabulary written capitalised

ONSETS = ["", "b", "c", "d", "f", "g", "h", "k", "l", "m", "n", "p", "r",
          "s", "t", "v", "w", "z", "br", "ch", "dr", "fl", "gr", "kr", "pl",
          "pr", "sh", "st", "str", "th", "tr", "qu"]
VOWELS = ["a", "e", "i", "o", "u", "a", "e", "o", "ai", "ea", "ou", "y"]
CODAS = ["", "", "", "n", "r", "s", "t", "l", "m", "nd", "st", "ck", "ng"]
# Syllables per word: mostly one or two, as in English running text.
SYLLABLE_WEIGHTS = [0.34, 0.36, 0.2, 0.08, 0.02]


def parse_size(text):
    scale = 1
    if text[-1] in "kK":
        scale, text = 1000, text[:-1]
    elif text[-1] in "mM":
        scale, text = 1000000, text[:-1]
    size = int(float(text) * scale)
    if size <= 0:
        raise argparse.ArgumentTypeError("size must be positive")
    return size


def make_vocabulary(rng):
    """Distinct made-up words, shortest first (rank 0 is the most common)."""
    seen = set()
    words = []
    counts = range(1, len(SYLLABLE_WEIGHTS) + 1)
    while len(words) < VOCAB_SIZE:
        n = rng.choices(counts, SYLLABLE_WEIGHTS)[0]
        word = "".join(rng.choice(ONSETS) + rng.choice(VOWELS) +
                       rng.choice(CODAS) for _ in range(n))
        if word not in seen:
            seen.add(word)
            words.append(word)
    # Short words are frequent: order by length with some noise, so that the
    # top ranks hold words of two to four letters as in English text.
    keyed = [(len(w) + rng.gauss(0, 1.5) + (4 if len(w) == 1 else 0), w)
             for w in words]
    keyed.sort()
    words = [w for _, w in keyed]
    # A few words of middle rank are names and are always capitalised.
    for i in range(200, VOCAB_SIZE):
        if rng.random() < NAME_SHARE:
            words[i] = words[i].capitalize()
    return words


class WordSource:
    """Draws Zipf-distributed words in large batches (fast in CPython)."""

    def __init__(self, rng, words):
        self.rng = rng
        self.words = words
        total = 0.0
        self.cum = []
        for rank in range(1, len(words) + 1):
            total += 1.0 / rank ** ZIPF_EXPONENT
            self.cum.append(total)
        self.batch = []
        self.next = 0

    def draw(self):
        if self.next == len(self.batch):
            self.batch = self.rng.choices(self.words, cum_weights=self.cum,
                                          k=65536)
            self.next = 0
        word = self.batch[self.next]
        self.next += 1
        return word


def make_sentence(rng, source):
    n = max(3, min(40, int(rng.gauss(14, 6))))
    parts = []
    for i in range(n):
        r = rng.random()
        if r < 0.01:
            word = str(rng.randint(1, 2100))
        else:
            word = source.draw()
        if i == 0:
            word = word[0].upper() + word[1:]
        if i < n - 1 and rng.random() < 0.07:
            word += ","
        parts.append(word)
    r = rng.random()
    end = "." if r < 0.86 else ("?" if r < 0.93 else "!")
    return " ".join(parts) + end


def generate(size, seed, out, docs=None):
    rng = random.Random(seed)
    source = WordSource(rng, make_vocabulary(rng))
    ndocs = docs or max(1, min(MAX_DOCS, round(size / MEAN_DOC_BYTES)))
    remaining = size
    for d in range(ndocs):
        left = ndocs - d
        share = remaining / left
        want = share if left == 1 else share * rng.uniform(0.3, 1.7)
        want = max(1, int(want)) - 1          # the line end takes one byte
        sentences = []
        length = 0
        while length < want:
            s = make_sentence(rng, source)
            length += len(s) + (1 if sentences else 0)
            sentences.append(s)
        line = " ".join(sentences) + "\n"
        out.write(line)
        remaining -= len(line)
        if remaining <= 0 and docs is None:
            break


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("size", type=parse_size, help="target size in bytes")
    parser.add_argument("-s", "--seed", type=int, default=1)
    parser.add_argument("-d", "--docs", type=int, default=None,
                        help="number of documents (default: SIZE / 640, "
                             "at most 8192)")
    parser.add_argument("-o", "--output", default="-")
    args = parser.parse_args()
    if args.output == "-":
        generate(args.size, args.seed, sys.stdout, args.docs)
    else:
        with open(args.output, "w", encoding="ascii", newline="\n") as out:
            generate(args.size, args.seed, out, args.docs)


if __name__ == "__main__":
    main()
