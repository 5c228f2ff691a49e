"""The embedded default's queue: kombu's file transport, with each message
written whole before it appears in the folder.

kombu's own writes a message in place, so that a worker looking into the
folder at that moment reads an empty file and stops. Here it is written
under a name no queue matches, then renamed. Brokers URLs name it
C{fleetfiles://}.
"""

from __future__ import absolute_import, division, print_function

import os
import uuid

from kombu.transport import TRANSPORT_ALIASES, filesystem
from kombu.utils.encoding import str_to_bytes
from kombu.utils.json import dumps

SCHEME = "fleetfiles"


class Channel(filesystem.Channel):

    def _put(self, queue, payload, **kwargs):
        name = "%d_%s.%s.msg" % (int(round(filesystem.monotonic() * 1000)), uuid.uuid4(), queue)
        path = os.path.join(self.data_folder_out, name)
        partial = os.path.join(self.data_folder_out, "partial-%s" % uuid.uuid4())
        try:
            with open(partial, "wb") as f:
                f.write(str_to_bytes(dumps(payload)))
            os.rename(partial, path)
        except OSError:
            raise filesystem.ChannelError("Cannot add file %r to directory" % path)


class Transport(filesystem.Transport):
    Channel = Channel


TRANSPORT_ALIASES.setdefault(SCHEME, __name__ + ":Transport")
