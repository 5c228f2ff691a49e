"""Line locks: no line carries more sessions at once than it can, fleet-wide.

A line (a serial device, or a TCP gateway's C{socket://host:port}) has
C{limit} slots; a session holds one slot from before it opens the port
until after it closed it. Two stores keep the slots:

  - L{FileLineLocks}: flock(2) on files in a folder, for workers on one
    machine. The kernel frees a slot the moment its holder dies.
  - L{RedisLineLocks}: keys in redis, for workers on any number of
    machines. A slot is a lease that its holder renews while the session
    runs; the slot of a holder that died frees itself when its lease runs
    out.

C{acquire(line, limit)} returns a held slot (a context manager that
releases it), or None when every slot is taken.
"""

from __future__ import absolute_import, division, print_function

import errno
import fcntl
import hashlib
import os
import threading
import uuid


def _key(line):
    """A name for a line that is safe in file names and redis keys."""
    return hashlib.sha1(line.encode("utf-8")).hexdigest()[:20]


class FileLineLocks(object):
    """Line slots as flock(2) locks on files in C{folder}."""

    def __init__(self, folder):
        self.folder = folder
        if not os.path.isdir(folder):
            try:
                os.makedirs(folder)
            except OSError as e:
                if e.errno != errno.EEXIST:
                    raise

    def acquire(self, line, limit=1):
        for slot in range(limit):
            path = os.path.join(self.folder, "%s.%d.lock" % (_key(line), slot))
            fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o644)
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except (IOError, OSError) as e:
                os.close(fd)
                if e.errno not in (errno.EAGAIN, errno.EACCES):
                    raise
                continue
            return _FileSlot(fd)
        return None


class _FileSlot(object):
    def __init__(self, fd):
        self._fd = fd

    def release(self):
        if self._fd is not None:
            os.close(self._fd)
            self._fd = None

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.release()


# Renews a lease only while it still holds our token; frees it likewise.
_RENEW = ("if redis.call('get', KEYS[1]) == ARGV[1] then "
          "return redis.call('pexpire', KEYS[1], ARGV[2]) else return 0 end")
_FREE = ("if redis.call('get', KEYS[1]) == ARGV[1] then "
         "return redis.call('del', KEYS[1]) else return 0 end")


class RedisLineLocks(object):
    """Line slots as leased keys C{tarvik:line:<line>:<slot>} in redis.

    @param lease: seconds a slot stays taken after its holder's last
        renewal; the holder renews it every third of that. A worker that
        dies frees its lines after at most this long.
    """

    PREFIX = "tarvik:line:"

    def __init__(self, client, lease=15.0):
        self.client = client
        self.lease = lease
        self._renew = client.register_script(_RENEW)
        self._free = client.register_script(_FREE)

    @classmethod
    def from_url(cls, url, **kwargs):
        import redis
        return cls(redis.Redis.from_url(url), **kwargs)

    def acquire(self, line, limit=1):
        token = uuid.uuid4().hex
        for slot in range(limit):
            key = "%s%s:%d" % (self.PREFIX, _key(line), slot)
            if self.client.set(key, token, nx=True, px=int(self.lease * 1000)):
                return _RedisSlot(self, key, token)
        return None


class _RedisSlot(object):
    def __init__(self, locks, key, token):
        self._locks = locks
        self._key = key
        self._token = token
        self._released = threading.Event()
        self._renewer = threading.Thread(target=self._keep, name="lease " + key)
        self._renewer.daemon = True
        self._renewer.start()

    def _keep(self):
        milliseconds = int(self._locks.lease * 1000)
        while not self._released.wait(self._locks.lease / 3):
            try:
                self._locks._renew(keys=[self._key], args=[self._token, milliseconds])
            except Exception:  # a lost store: the lease runs out on its own
                pass

    def release(self):
        if not self._released.is_set():
            self._released.set()
            self._renewer.join()
            self._locks._free(keys=[self._key], args=[self._token])

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.release()
