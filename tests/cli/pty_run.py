#!/usr/bin/env python3
"""Runs a command with its standard output on a pseudo-terminal of a given width, as a person
at a terminal sees it, and checks that no line it draws reaches the terminal's last column.

  pty_run.py COLUMNS STDOUT-FILE STDERR-FILE COMMAND...

Writes what the terminal received to STDOUT-FILE and standard error (a pipe) to STDERR-FILE;
exits with the command's status, or 100 when a line was too wide (the line is printed).
"""
import fcntl
import os
import pty
import re
import struct
import subprocess
import sys
import termios
import unicodedata

columns = int(sys.argv[1])
out_path, err_path = sys.argv[2], sys.argv[3]
command = sys.argv[4:]

master, slave = pty.openpty()
fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 50, columns, 0, 0))
with open(err_path, "wb") as err:
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=slave, stderr=err)
os.close(slave)
received = bytearray()
while True:
    try:
        chunk = os.read(master, 65536)
    except OSError:  # the other side closed
        break
    if not chunk:
        break
    received += chunk
status = process.wait()
open(out_path, "wb").write(received)


def width(text):
    return sum(0 if unicodedata.combining(c) else
               2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in text)


# Escape sequences move the cursor or erase; what lies between carriage returns and line feeds
# is what one line of the terminal shows at once.
text = received.decode("utf-8", "replace")
for segment in re.split(r"\x1b\[[0-9;]*[A-Za-z]|\r|\n", text):
    if width(segment) > columns - 1:
        print(f"wider than {columns - 1} columns ({width(segment)}): {segment!r}")
        sys.exit(100)
sys.exit(status)
