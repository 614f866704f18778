"""Shared by the tests of writing under faults and of threads: generated
manifests, a ticking thread that measures how long the interpreter stalls,
forked children with their own mount namespace and small file systems."""

import ctypes
import fcntl
import json
import os
import signal
import threading
import time

import pytest

from manifests import manifest

READER = """\
    reader-{i:05d}:
      model_name: model-{i}
      device: cuda
      consumer_group: group-{i}
      max_batch_size: {i}
"""


def numbered_manifest(count):
    """A complete manifest of `count` readers named reader-00000 and on."""
    return manifest("".join(READER.format(i=i) for i in range(count)))


# The longest a 5 ms ticker may be kept waiting while another thread waits
# (on a lock or a pipe) without the interpreter lock: room for a busy
# machine, three times that under the sanitizers, and still far below the
# waits of these tests (0.5 s and more), which a held lock would stall whole.
STALL_LIMIT = 0.1 * (3 if "asan" in os.environ.get("LD_PRELOAD", "") else 1)


class Ticker:
    """A thread that wakes every `period` seconds and records the longest gap
    between two wake-ups: how long the interpreter lock was kept from it."""

    def __init__(self, period=0.005):
        self.period = period
        self.longest_gap = 0.0
        self.ticks = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        last = time.monotonic()
        while not self._stop.is_set():
            time.sleep(self.period)
            now = time.monotonic()
            self.longest_gap = max(self.longest_gap, now - last)
            self.ticks += 1
            last = now

    def __enter__(self):
        self._thread.start()
        time.sleep(3 * self.period)  # running before the work starts
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()


def run_in_child(function):
    """Runs `function` in a forked child and returns its JSON-able result, or
    {"raised": text} for an exception. The child never returns into pytest."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:  # pragma: no cover - runs in the child
        try:
            os.close(read_end)
            try:
                result = function()
            except BaseException as error:  # noqa: BLE001 - reported to the parent
                result = {"raised": f"{type(error).__name__}: {error}"}
            os.write(write_end, json.dumps(result).encode())
        finally:
            os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as pipe:
        output = pipe.read()
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    return json.loads(output)


def interrupted_on_the_main_thread(call, after=0.3):
    """Runs `call()` on the main thread of a forked child while another
    process sends that child SIGINT `after` seconds in (a process of its own,
    so that the moment does not depend on the child's interpreter lock).
    Returns what the call did and how long after the signal it ended."""

    def body():
        signal.signal(signal.SIGINT, signal.default_int_handler)
        sent_read, sent_write = os.pipe()
        target = os.getpid()
        sender = os.fork()
        if sender == 0:  # pragma: no cover - the sender
            try:
                time.sleep(after)
                os.write(sent_write, repr(time.monotonic()).encode())
                os.kill(target, signal.SIGINT)
            finally:
                os._exit(0)
        os.close(sent_write)
        result = outcome(call)
        ended = time.monotonic()
        os.waitpid(sender, 0)
        sent = os.read(sent_read, 100)
        return {"outcome": result, "after_signal": ended - float(sent) if sent else None}

    return run_in_child(body)


def take_writers_lock(path):
    """Takes the lock the module's writers take for the manifest at `path` on
    a local file system (its directory's) and returns the descriptor."""
    fd = os.open(os.path.dirname(os.path.abspath(path)), os.O_RDONLY | os.O_DIRECTORY)
    fcntl.flock(fd, fcntl.LOCK_EX)
    return fd


class LockHolder:
    """Another process that holds the writers' lock on `path` until it is
    told to let go (or is killed)."""

    def __init__(self, path):
        self.path = path

    def __enter__(self):
        ready_read, ready_write = os.pipe()
        self.release_read, self.release_write = os.pipe()
        self.pid = os.fork()
        if self.pid == 0:  # pragma: no cover - the child
            try:
                os.close(ready_read)
                os.close(self.release_write)
                take_writers_lock(self.path)
                os.write(ready_write, b"x")
                os.read(self.release_read, 1)
            finally:
                os._exit(0)
        os.close(ready_write)
        os.close(self.release_read)
        assert os.read(ready_read, 1) == b"x"
        os.close(ready_read)
        return self

    def release(self):
        if self.release_write is not None:
            # A byte, not the end of the pipe: children forked meanwhile
            # hold copies of this end.
            os.write(self.release_write, b"x")
            os.close(self.release_write)
            self.release_write = None
            os.waitpid(self.pid, 0)

    def __exit__(self, *exc):
        if self.release_write is not None:
            os.kill(self.pid, signal.SIGKILL)
            os.close(self.release_write)
            self.release_write = None
            os.waitpid(self.pid, 0)


MS_BIND = 4096
MS_REC = 16384
MS_PRIVATE = 1 << 18

libc = ctypes.CDLL(None, use_errno=True)


class Refused(Exception):
    """The machine does not allow a fault to be set up; the test skips."""


def private_mounts():
    """Moves the calling (forked) process into a mount namespace of its own,
    so that whatever it mounts vanishes with it."""
    try:
        os.unshare(os.CLONE_NEWNS)
    except (OSError, AttributeError) as error:
        raise Refused(f"no mount namespace: {error}") from None
    if libc.mount(b"none", b"/", None, MS_REC | MS_PRIVATE, None) != 0:
        raise Refused(f"mount --make-rprivate: {os.strerror(ctypes.get_errno())}")


def in_namespace(scenario):
    """Runs `scenario` in a forked child with private mounts; a fault the
    machine cannot set up skips the test with its reason."""

    def body():
        try:
            private_mounts()
            return scenario()
        except Refused as why:
            return {"refused": str(why)}

    result = run_in_child(body)
    if isinstance(result, dict) and "refused" in result:
        pytest.skip(result["refused"])
    return result


def mount_tmpfs(directory, options):
    if libc.mount(b"tmpfs", os.fsencode(directory), b"tmpfs", 0, options.encode()) != 0:
        raise Refused(f"tmpfs ({options}): {os.strerror(ctypes.get_errno())}")


def bind_mount(source, target):
    if libc.mount(os.fsencode(source), os.fsencode(target), None, MS_BIND, None) != 0:
        raise Refused(f"bind mount: {os.strerror(ctypes.get_errno())}")


def outcome(function):
    """What a module call did: "None" or "Exception: <message>" (the class
    name and the message)."""
    try:
        return repr(function())
    except BaseException as error:  # noqa: BLE001 - the class is part of the outcome
        return f"{type(error).__name__}: {error}"
