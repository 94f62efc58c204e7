#!/bin/sh
# to_libsvm.sh voks_file labels_file
#
# Turns the output of vok into the sparse format that LIBSVM, SVMlight and
# most other classifier tools read, one line per document:
#
#     label index:count index:count ...
#
# The n-th line of voks_file is paired with the n-th line of labels_file.
# A feature's index is its number plus one (the format counts from 1),
# written in decimal; the indices of a line ascend, and the count says how
# often the feature number appears in that line.  A document without
# features gives its label alone.
#
# A label that is a number is written as it is.  Any other label (a topic
# name, say) becomes a class number: 1 for the first name met, 2 for the
# next new one, and so on; each name and its number are reported on
# standard error.  Blanks around a label and a CR before its line end are
# dropped.
#
# Exit status 0 on success; 1 when a file cannot be read, a token is not a
# feature number, a label is empty, or the two files have different numbers
# of lines (blank lines at the end of labels_file are not counted); 2 on
# wrong usage.
set -eu

if [ $# -ne 2 ]; then
  echo "usage: to_libsvm.sh voks_file labels_file" >&2
  exit 2
fi
for file in "$1" "$2"; do
  if [ ! -r "$file" ] || [ -d "$file" ]; then
    echo "to_libsvm.sh: cannot read $file" >&2
    exit 1
  fi
done

# The voks file comes on standard input and the labels path through the
# environment, so that no file name is taken for an awk assignment.
TO_LIBSVM_LABELS=$2
export TO_LIBSVM_LABELS
exec awk '
function fail(message) {
  print "to_libsvm.sh: " message > "/dev/stderr"
  failed = 1
  exit 1
}

function hex_value(s,   n, i) {
  n = 0
  for (i = 1; i <= length(s); i++)
    n = n * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1
  return n
}

# Shell sort of a[1..n], ascending.
function sort(a, n,   gap, i, j, v) {
  gap = 1
  while (gap < n / 3) gap = gap * 3 + 1
  for (; gap >= 1; gap = int(gap / 3)) {
    for (i = gap + 1; i <= n; i++) {
      v = a[i]
      for (j = i; j > gap && a[j - gap] > v; j -= gap) a[j] = a[j - gap]
      a[j] = v
    }
  }
}

function trim(s) {
  sub(/\r$/, "", s)
  gsub(/^[ \t]+|[ \t]+$/, "", s)
  return s
}

BEGIN { labels = ENVIRON["TO_LIBSVM_LABELS"]; classes = 0 }

{
  if ((getline label < labels) <= 0)
    fail(labels " ends before line " NR " of the voks file")
  label = trim(label)
  if (label == "") fail("empty label on line " NR " of " labels)
  if (label !~ /^[-+]?([0-9]+[.]?[0-9]*|[.][0-9]+)([eE][-+]?[0-9]+)?$/) {
    if (!(label in class)) {
      class[label] = ++classes
      print "to_libsvm.sh: class " classes " = " label > "/dev/stderr"
    }
    label = class[label]
  }

  split("", count)
  n = 0
  for (i = 1; i <= NF; i++) {
    if ($i !~ /^[0-9a-f]+$/)
      fail("line " NR " of the voks file: \"" $i "\" is not a feature number")
    k = hex_value($i) + 1
    if (!(k in count)) {
      count[k] = 0
      index_of[++n] = k
    }
    count[k]++
  }
  sort(index_of, n)
  line = label
  for (i = 1; i <= n; i++) line = line " " index_of[i] ":" count[index_of[i]]
  print line
}

END {
  if (failed) exit 1
  while ((getline label < labels) > 0)
    if (trim(label) != "")
      fail(labels " has more lines than the voks file (" NR ")")
}
' < "$1"
