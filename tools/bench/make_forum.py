#!/usr/bin/env python3
"""Writes a forum of COUNT messages into DATA_DIR as the program stores them:
180-byte records in parlino_data.dat and one parlino_<id>.txt per message.
Every fourth message answers an earlier one, so the list has threads.

usage: make_forum.py DATA_DIR COUNT
"""
import datetime
import os
import random
import struct
import sys

data_dir, count = sys.argv[1], int(sys.argv[2])
rng = random.Random(1)
base = datetime.datetime(1899, 12, 30)
ids, records = [], []
for i in range(count):
    mid = rng.randrange(1, 1147483648)
    while mid in ids:
        mid = rng.randrange(1, 1147483648)
    reply = ids[rng.randrange(len(ids))] if ids and i % 4 == 3 else 0
    when = datetime.datetime(2024, 1, 1) + datetime.timedelta(minutes=17 * i)
    ole = (when - base) / datetime.timedelta(days=1)
    subject = (f"RE: Topic {i}" if reply else f"Topic {i}: how do I set up the forum?").encode()
    rec = bytearray(180)
    rec[0:len(subject)] = subject
    rec[65:65 + 17] = b"user@example.org "
    name = f"User {i % 37}".encode()
    rec[114:114 + len(name)] = name
    struct.pack_into("<ii", rec, 148, mid, reply)
    struct.pack_into("<d", rec, 164, ole)
    records.append(bytes(rec))
    ids.append(mid)
    with open(os.path.join(data_dir, f"parlino_{mid}.txt"), "wb") as f:
        f.write(b"Some text of message %d.\r\nA second line.\r\n" % i)
with open(os.path.join(data_dir, "parlino_data.dat"), "wb") as f:
    f.write(b"".join(records))
