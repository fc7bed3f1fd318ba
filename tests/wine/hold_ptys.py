# Creates N pseudo-terminals, prints the path of each one's terminal end, one
# a line, and keeps them alive until its standard input closes.
import os
import pty
import sys

masters = []
for _ in range(int(sys.argv[1])):
    master, slave = pty.openpty()
    print(os.ttyname(slave), flush=True)
    os.close(slave)
    masters.append(master)
sys.stdin.read()
