"""The embedded default's queue and result store: kombu's file transport
and Celery's file result backend, with each message and each result
written whole before it appears in its folder.

kombu's and Celery's own write a file in place, so that a worker looking
into the queue at that moment reads an empty message and stops, and a
collector reading results reads an empty one and fails to decode it.
Here each is written under another name, then renamed. Broker URLs name
the queue C{fleetfiles://}, result store URLs the store
C{fleetfiles+file://FOLDER}.
"""

from __future__ import absolute_import, division, print_function

import os
import sys
import uuid

from celery.app.backends import BACKEND_ALIASES
from celery.backends.filesystem import FilesystemBackend
from kombu.transport import TRANSPORT_ALIASES, filesystem
from kombu.utils.encoding import str_to_bytes
from kombu.utils.json import dumps

SCHEME = "fleetfiles"


def write_whole(path, data):
    """Write data to a new file beside path, then rename it to path:
    readers of path find nothing or all of it."""
    partial = os.path.join(os.path.dirname(path), "partial-%s" % uuid.uuid4())
    with open(partial, "wb") as f:
        f.write(data)
    os.rename(partial, path)


class Channel(filesystem.Channel):

    def _put(self, queue, payload, **kwargs):
        name = "%d_%s.%s.msg" % (int(round(filesystem.monotonic() * 1000)), uuid.uuid4(), queue)
        path = os.path.join(self.data_folder_out, name)
        try:
            write_whole(path, str_to_bytes(dumps(payload)))
        except OSError:
            raise filesystem.ChannelError("Cannot add file %r to directory" % path)


class Transport(filesystem.Transport):
    Channel = Channel


class ResultFiles(FilesystemBackend):
    """Celery's file result backend, each result written whole."""

    def set(self, key, value):
        path = self._filename(key)  # bytes, in the file system's encoding
        write_whole(path.decode(sys.getfilesystemencoding()), str_to_bytes(value))


TRANSPORT_ALIASES.setdefault(SCHEME, __name__ + ":Transport")
BACKEND_ALIASES.setdefault(SCHEME, __name__ + ":ResultFiles")
