"""The fleet's Celery application and its one task, the same for every
broker.

A task is one meter's whole session. Its message is acknowledged only
when the session is over (late acknowledgement), so the session of a
worker that dies runs again on another worker: at once when a pool
process dies (the message is rejected back to its queue), after the
broker's visibility time-out when the whole worker died. A task always
returns a record, a failed read included.

Queues: C{gateways} for meters behind TCP gateways, read by every worker;
C{lines.<machine>} for the serial lines of one machine, read by that
machine's workers started with C{--lines}.
"""

from __future__ import absolute_import, division, print_function

import fnmatch
import itertools
import json
import os

from celery import Celery

from tarvik.brenlo.fleet import filequeue
from tarvik.brenlo.fleet.locks import FileLineLocks, RedisLineLocks
from tarvik.brenlo.fleet.meters import Meter
from tarvik.brenlo.fleet.reading import read_meter

GATEWAY_QUEUE = "gateways"
# Seconds a task whose line is busy waits before it tries again.
LINE_BUSY_WAIT = 0.2
# Seconds a line slot stays taken after the last sign of life of its
# holder (redis).
LINE_LEASE = 10.0
# Seconds an unacknowledged message waits for its worker before the broker
# hands it out again (redis); longer than the longest session.
VISIBILITY_TIMEOUT = 900

# Seconds between two looks into the embedded default's queue folder.
FILE_POLLING_INTERVAL = 0.05

app = Celery("tarvik.brenlo.fleet")


def line_queue(machine):
    """The queue of the serial lines attached to one machine."""
    return "lines." + machine


def configure(broker=None, store=None, work=None, visibility_timeout=VISIBILITY_TIMEOUT,
              line_lease=LINE_LEASE):
    """Points the application at a broker and a store of results and line
    locks.

    @param broker: C{redis://...} or C{amqp://...}; None for the embedded
        default, kombu's file transport and a file store in C{work}.
    @param store: the results and line locks: a C{redis://} URL (default:
        the broker when it is redis).
    @param visibility_timeout: seconds before the task of a worker that
        died is handed out again (redis).
    @param line_lease: seconds before the line of a worker that died is
        free again (redis).
    @raise ValueError: a combination that has nowhere to keep the locks.
    """
    if broker is None:
        if work is None:
            raise ValueError("without --broker, a work folder (--work) holds the queue")
        queue = _folder(work, "queue")
        app.conf.update(
            broker_url=filequeue.SCHEME + "://localhost/",
            broker_transport_options={"data_folder_in": queue, "data_folder_out": queue,
                                      "processed_folder": _folder(work, "processed"),
                                      "store_processed": False,
                                      "polling_interval": FILE_POLLING_INTERVAL},
            result_backend=filequeue.SCHEME + "+file://" + _folder(work, "results"),
            # One worker takes everything: its polling loop fetches only
            # every two seconds, and would idle between.
            worker_prefetch_multiplier=0,
            tarvik_locks=("file", _folder(work, "locks")))
    else:
        store = store or (broker if broker.startswith("redis") else None)
        if not store or not store.startswith("redis"):
            raise ValueError("%s needs --store redis://... for results and line locks" % broker)
        app.conf.update(
            broker_url=broker,
            broker_transport_options={"visibility_timeout": visibility_timeout},
            worker_prefetch_multiplier=1,
            result_backend=store,
            redis_backend_health_check_interval=30,
            tarvik_locks=("redis", store), tarvik_line_lease=line_lease)
    app.conf.update(
        task_serializer="json", result_serializer="json", accept_content=["json"],
        task_acks_late=True, task_reject_on_worker_lost=True,
        task_default_queue=GATEWAY_QUEUE,
        result_expires=7 * 24 * 3600, broker_connection_retry_on_startup=True,
        worker_hijack_root_logger=False)


def _folder(work, name):
    path = os.path.abspath(os.path.join(work, name))
    if not os.path.isdir(path):
        os.makedirs(path)
    return path


_locks = None


def line_locks():
    """The line locks of the configured store (one per process)."""
    global _locks
    if _locks is None:
        kind, where = app.conf.tarvik_locks
        if kind == "file":
            _locks = FileLineLocks(where)
        else:
            _locks = RedisLineLocks.from_url(where, lease=app.conf.tarvik_line_lease)
    return _locks


def hand_out_orphans(connection):
    """Puts the tasks of workers that died back into their queues: those
    unacknowledged for longer than the visibility time-out (redis; other
    brokers do it themselves). kombu's workers look for them only every
    100 seconds."""
    qos = getattr(connection.default_channel, "qos", None)
    if hasattr(qos, "restore_visible"):
        qos.restore_visible(num=1000, interval=1)


def held_tasks(connection, queues):
    """The ids of the tasks the broker holds: waiting in one of C{queues},
    or taken by a worker and not yet acknowledged. None where the broker
    cannot tell: only redis is asked, the one broker that loses tasks
    (collect.LostTasks)."""
    if connection.transport.driver_type != "redis":
        return None
    channel = connection.default_channel
    client = channel.client
    # kombu keeps a queue as a list per priority step, and what workers
    # took in one hash: each message as JSON, the task id in its headers.
    waiting = [client.lrange(channel._q_for_pri(queue, step), 0, -1)
               for queue in queues for step in channel.priority_steps]
    taken = [json.loads(value)[0] for value in client.hvals(channel.unacked_key)]
    messages = [json.loads(message) for message in itertools.chain.from_iterable(waiting)] + taken
    return set(message.get("headers", {}).get("id") for message in messages)


def serves(meter):
    """Whether this worker may open the meter's line: a gateway always, a
    serial line when it matches one of the worker's --lines patterns."""
    patterns = app.conf.get("tarvik_lines") or ()
    return meter.is_socket or any(fnmatch.fnmatch(meter.line, p) for p in patterns)


@app.task(bind=True, name="tarvik.brenlo.fleet.read", max_retries=None)
def read(task, fields):
    """Reads one meter (its record as C{Meter.as_dict} gives it) while
    holding a slot of its line, and returns the result record."""
    meter = Meter.from_dict(fields)
    if not serves(meter):
        return {"id": meter.id, "line": meter.line, "ok": False, "answers": [],
                "connect_s": None, "total_s": 0.0, "retries": 0, "error": "LineNotServed",
                "message": "%s is not one of this machine's lines (worker --lines)" % meter.line}
    slot = line_locks().acquire(meter.line, meter.line_sessions)
    if slot is None:
        raise task.retry(countdown=LINE_BUSY_WAIT)
    with slot:
        record = read_meter(meter)
    record["worker"] = task.request.hostname
    return record
