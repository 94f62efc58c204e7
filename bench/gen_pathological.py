#!/usr/bin/env python3
"""Writes one of the worst-case single-document inputs for vok.

  run    524,287 copies of "a": the longest document the tool takes; the
         tree is one chain of nodes as deep as the text is long
  ab     250,000 repetitions of "ab": two chains of half that depth
  fib    the first 500,000 characters of the Fibonacci word over "a", "b"
         (a -> ab, b -> a): many long repeats at every scale
  binary 500,000 random characters from {0, 1} (seeded): a shallow, bushy
         tree with many leaves

Each file is one line.  The "run" document has no line end: with one, the
line would not fit the tool's 524,287-character read and would arrive as a
second, empty piece.

Usage: gen_pathological.py KIND FILE [-s SEED]
"""

import argparse
import random


def fibonacci_word(n):
    word = "a"
    while len(word) < n:
        word = "".join("ab" if c == "a" else "a" for c in word)
    return word[:n]


def make(kind, seed):
    if kind == "run":
        return "a" * 524287
    if kind == "ab":
        return "ab" * 250000 + "\n"
    if kind == "fib":
        return fibonacci_word(500000) + "\n"
    if kind == "binary":
        rng = random.Random(seed)
        return "".join(rng.choice("01") for _ in range(500000)) + "\n"
    raise ValueError(kind)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("kind", choices=["run", "ab", "fib", "binary"])
    parser.add_argument("output")
    parser.add_argument("-s", "--seed", type=int, default=1)
    args = parser.parse_args()
    with open(args.output, "w", encoding="ascii", newline="\n") as out:
        out.write(make(args.kind, args.seed))


if __name__ == "__main__":
    main()
