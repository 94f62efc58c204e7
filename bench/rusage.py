"""Runs a command and writes what it used, to the microsecond.

Usage: rusage.py OUT_FILE COMMAND [ARG...]

OUT_FILE gets the lines of /usr/bin/time -v that bench/run.sh reads, with
the user and system times to the microsecond where time prints hundredths:
a 0.5 MB run takes 8 to 11 hundredths, too few to compare sizes by.  The
figures are the command's and those of every descendant it waited for (so
they hold through timeout).  Exits with the command's status, or 128 plus
the signal that ended it.
"""
import os
import subprocess
import sys


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__.strip().splitlines()[2])
    try:
        child = subprocess.Popen(sys.argv[2:])
    except OSError as e:
        sys.stderr.write("rusage.py: %s: %s\n" % (sys.argv[2], e.strerror))
        sys.exit(127)
    _, status, used = os.wait4(child.pid, 0)
    with open(sys.argv[1], "w") as out:
        out.write("\tUser time (seconds): %.6f\n" % used.ru_utime)
        out.write("\tSystem time (seconds): %.6f\n" % used.ru_stime)
        out.write("\tMaximum resident set size (kbytes): %d\n" % used.ru_maxrss)
    if os.WIFSIGNALED(status):
        sys.exit(128 + os.WTERMSIG(status))
    sys.exit(os.WEXITSTATUS(status))


if __name__ == "__main__":
    main()
