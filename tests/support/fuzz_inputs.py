"""What the answer fuzzer's inputs mean, and the seeds it starts from.

An input is the meter's side of one session. Its first byte chooses the
request (bits 0-2: its size, bit 3: 16-byte information fields) and how
the rest is read:

- bit 7 clear: the rest is a list of answer frames, each given as
  [flags, n, control, information field of n - 1 bytes]; they are encoded
  with correct check sequences, so that mutations reach the link
  procedures instead of failing the codec's checks. Flag bit 0 sets the
  segmentation bit, bit 1 spoils the FCS.
- bit 7 set: the rest is the raw byte stream, read in order.

Only the companion codec is needed here, so the seeds can be written by a
plain interpreter: python -m support.fuzz_inputs FOLDER.
"""

import os
import sys

from tarvik.brenlo.frame import crc16

ADDRESSES = [0x21, 0x03]  # client 16, server 1, as HDLCParameters() has them


def encode_answers(records):
    """The answer frames that a framed input describes, as one byte string."""
    records = bytearray(records)
    out, index = [], 0
    while index + 3 <= len(records):
        flags, size = records[index], records[index + 1]
        body = list(records[index + 2:index + 2 + size]) or [0x73]
        index += 2 + size
        header = [0xA8 if flags & 1 else 0xA0, 0] + ADDRESSES + body[:1]
        info = body[1:]
        length = len(header) + 2 + (len(info) + 2 if info else 0)
        header[0] |= length >> 8
        header[1] = length & 0xFF
        frame = header
        if info:
            hcs = crc16(header)
            frame = header + [hcs & 0xFF, hcs >> 8] + info
        fcs = crc16(frame) ^ (0x0100 if flags & 2 else 0)
        out.append([0x7E] + frame + [fcs & 0xFF, fcs >> 8, 0x7E])
    return bytes(bytearray(b for frame in out for b in frame))


def write_seeds(folder):
    """A few well-formed sessions for the fuzzer to start from."""
    ua_info = [0x81, 0x80, 0x14, 5, 2, 0, 0x80, 6, 2, 0, 0x80, 7, 4, 0, 0, 0, 1, 8, 4, 0, 0, 0, 1]
    llc = [0xE6, 0xE7, 0x00]

    def record(control, info=(), flags=0):
        body = [control] + list(info)
        return [flags, len(body)] + body

    plain = (record(0x73, ua_info) + record(0x30, llc + [1, 2]) + record(0x51)
             + record(0x52, llc + [3]) + record(0x73))
    segmented = (record(0x73) + record(0x31) + record(0x50, llc + [9] * 40, 1)
                 + record(0x52, [8]) + record(0x51) + record(0x53) + record(0x73))
    seeds = {
        "plain": [0x02] + plain,
        "segmented": [0x0B] + segmented,
        "raw": [0x82] + list(bytearray(encode_answers(bytearray(plain)))),
    }
    for name, values in seeds.items():
        with open(os.path.join(folder, name), "wb") as out:
            out.write(bytes(bytearray(values)))


if __name__ == "__main__":
    write_seeds(sys.argv[1])
