"""Reading a fleet of meters on Celery workers, one session per task.

  - L{meters}: the meters file (CSV or JSON lines) and its records.
  - L{reading}: one meter's read, a whole session, as a result record.
  - L{locks}: one session at a time per line (or as many as a gateway
    takes), fleet-wide.
  - L{app}: the Celery application and its task.
  - L{collect}: sending the tasks of a read and writing their results.
  - L{progress}: the progress line.

Run it as C{python3 -m tarvik.brenlo.fleet} (see L{__main__}). Celery
runs on Python 3 only.
"""
