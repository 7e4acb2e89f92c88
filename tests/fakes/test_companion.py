#!/usr/bin/python3
"""A stand-in for the lock-screen companion: serves the program's message
socket and records every message, one line of hex each. While the file named
by --pause exists it stops reading, as a hung companion would."""
import argparse
import os
import socket
import time

parser = argparse.ArgumentParser()
parser.add_argument("--socket", required=True)
parser.add_argument("--record", required=True)
parser.add_argument("--pause", required=True)
args = parser.parse_args()

if os.path.exists(args.socket):
    os.unlink(args.socket)
listener = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
listener.bind(args.socket)
listener.listen(4)
with open(args.record + ".ready", "w"):
    pass
while True:
    peer, _ = listener.accept()
    while True:
        if os.path.exists(args.pause):
            time.sleep(0.05)
            continue
        message = peer.recv(512)
        if not message:
            break
        with open(args.record, "a") as record:
            record.write(message.hex() + "\n")
    peer.close()
