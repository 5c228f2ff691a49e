"""What is on the line: frame descriptions, annotated traces and logging.

  - L{describe}C{(frame)} gives one line of text for one frame, whole or
    damaged, for instance::

      I N(S)=0 N(R)=1 P/F=1 seg=0 len=14 dst=16 src=1/0 (1 byte) |
      HCS ok FCS ok | info 5 bytes: LLC response E6 E7 00 + C4 01

    (on one line). The frame is decoded by the steps of
    L{tarvik.brenlo.frame}, so a description never disagrees with the
    codec.
  - L{use_logger}C{(parameters)} logs every frame and state change of a
    link through the standard C{logging} module (logger C{tarvik.brenlo},
    which has a C{NullHandler}).
  - C{python -m tarvik.brenlo.trace [FILE ...]} annotates a trace.

The package's modules, one concern each: C{description} (one frame),
C{framing} (the lines of a trace and the frames in their bytes),
C{link_checks} (sequence numbers and polls along a link), C{logger}
(C{use_logger}) and C{__main__} (the command).

Reading a trace
===============
The files are read in order as one trace; without a file, standard
input is read. Every line is printed as it is, followed by what was read
from it, as soon as the line has come in. A line may hold:

  - C{CB_S: <hex>} (sent), C{CB_R: <hex>} (received) and C{CB_s: <state>},
    as the demonstration and the C{use_logger} log print them (the log's
    C{sent:}, C{received:} and C{state:} are read alike);
  - the simulator's C{--verbose} lines: C{<< <hex>} is a frame the meter
    received, C{>> <hex>} one the meter sent;
  - bare hex, with or without spaces, one frame, several glued together,
    or a frame split over several lines;
  - other text with hex after it, such as a log line, the hex also glued
    to a label (C{tx:7E A0 ...}).

A line with none of these is shown as it is and counted as not read. A
line longer than 64 KiB is read and shown in pieces of that size.

The hex of a line is its first run of hex words (each of an even number
of digits) that holds a 7E byte: after a marker above (also at the end
of a word, as in C{DEBUG:tarvik.brenlo:sent:}), or anywhere in the line.
Hex on a line with a marker is taken as whole frames, as the callbacks
and the simulator print them; hex without a marker may go on in the next
line without one. Bytes outside frames are shown as noise.

Which way a frame went
----------------------
The sequence-number checks need to know which station sent a frame. In
this order:

  1. the line's marker (C{CB_S}, C{sent:} and C{<<}: client to server;
     C{CB_R}, C{received:} and C{>>}: server to client);
  2. the kind: SNRM and DISC go to the server, UA, DM and FRMR to the
     client;
  3. the addresses learnt from earlier frames of the trace whose way is
     known: a frame addressed to the client, or from the server, goes to
     the client;
  4. the address sizes: the client's address is one byte, so a frame to
     a 2- or 4-byte address goes to the server, one from such an address
     to the client;
  5. otherwise the way is unknown (C{?->?}) and the frame takes no part
     in the checks. Two 1-byte addresses alone do not tell, so a bare
     hex trace of I and RR frames needs an SNRM, UA, DISC or DM before
     them.

What is flagged
---------------
Lines starting with C{!!} mark errors:

  - a frame that cannot be read whole: cut short, a flag missing, a
    length field that disagrees with the flags, an unknown control field;
  - a check sequence (HCS, FCS) that fails;
  - an information field on an RR, RNR or DISC, and an SNRM or UA
    parameter list the receiver cannot read (a header other than 81 80,
    a group length that disagrees, a parameter cut short, an identifier
    other than 05 to 08, a value not 1, 2 or 4 bytes long);
  - an N(S) that is not the next one the receiver expects, or an N(R)
    that does not acknowledge what its sender has received; counting
    starts at an SNRM or UA (or at the first numbered frame when the
    trace starts in the middle of a link), frames that fail their checks
    are not counted, an I-frame sent again (the same bytes as the last
    one its way) is a retransmission, not a jump, and after a mismatch counting goes on from the numbers in
    the frame, so that one jump is flagged once;
  - a frame from the client with the poll bit set that is followed by
    another frame from the client, or by the end of the trace, with no
    frame from the server between them.

Lines starting with C{!?} note a 0x7E byte inside a frame that is not
sound. The link sends no byte stuffing, so in a sound frame such a byte
is data; in a frame that fails its checks it often marks a cut frame, or
a device that stuffs bytes.

The trace ends with a summary line: frames and bytes each way, errors,
notes, noise bytes outside frames and lines not read.

Any input is read in time proportional to its size, and in memory
bounded by the longest piece of a line.
"""

from __future__ import absolute_import, division, print_function

from tarvik.brenlo.trace.description import TO_CLIENT, TO_SERVER, describe
from tarvik.brenlo.trace.logger import use_logger

__all__ = ["describe", "use_logger", "TO_CLIENT", "TO_SERVER", "main"]


def main(argv=None):
    """Run the trace command (C{python -m tarvik.brenlo.trace}) with
    argv; return its exit status."""
    from tarvik.brenlo.trace.__main__ import main as command
    return command(argv)
