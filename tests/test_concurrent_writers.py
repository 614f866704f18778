"""Several processes adding readers to one manifest at once lose none of them,
and a process reading the manifest meanwhile always finds a whole file.

The long runs (16 writers x 100 additions with readers, and 32 x 30 on a
5,000-reader manifest) carry the `long` marker and print the longest wait
for a call and the number of calls that gave up on the writers' lock."""

import multiprocessing
import os
import random
import re
import resource
import signal
import stat
import threading
import time
import warnings

import pytest

from corvane_config import ReaderConfig, read_corvane_readers_config
from write_support import (
    LockHolder,
    bind_mount,
    in_namespace,
    numbered_manifest,
    outcome,
    run_in_child,
)

LOCK_TIMEOUT = "Error Writing to file: Resource temporarily unavailable (os error 11)"


def add_readers(path, writer, additions, start, results):
    start.wait()
    longest = 0.0  # of the calls that returned
    timed_out = []
    failures = []
    for number in range(additions):
        reader = ReaderConfig(
            model_name=f"model-{writer}-{number}", device="cpu", max_batch_size=number
        )
        started = time.monotonic()
        try:
            reader.add_to_manifest_yaml(path, f"w{writer}-{number}")
            longest = max(longest, time.monotonic() - started)
        except Exception as error:  # noqa: BLE001 - counted and reported
            (timed_out if str(error) == LOCK_TIMEOUT else failures).append((number, str(error)))
    results.put((writer, longest, timed_out, failures))


def read_until_stopped(path, stop, results):
    reads = failures = 0
    first_failure = ""
    while not stop.is_set():
        started = time.monotonic()
        try:
            reader = read_corvane_readers_config(path, "reader-00000")
            if reader.max_batch_size != 0:
                raise AssertionError(f"reader-00000 read as {reader.max_batch_size}")
        except Exception as error:  # noqa: BLE001 - counted and reported
            failures += 1
            first_failure = first_failure or str(error)
        reads += 1
        # Leave the writers most of the CPU, however large the manifest.
        time.sleep(max(0.002, 3 * (time.monotonic() - started)))
    results.put((reads, failures, first_failure))


ADDED = re.compile(
    r"^    (w\d+-\d+):\n      model_name: (\S+)\n(?:      .*\n)*?      max_batch_size: (\d+)\n",
    re.MULTILINE)


def added_readers(path):
    """Reader id -> (model name, max_batch_size) of every added reader in the
    manifest as written (one pass over the text, however many readers)."""
    return {match[1]: (match[2], int(match[3])) for match in ADDED.finditer(path.read_text())}


def run_writers(path, writers, additions, watchers):
    """Starts the writers and watchers together and checks the outcome: every
    call that returned has its reader in the final file, every call that did
    not raised the lock's timeout (and left no reader), no read failed.
    Returns (longest call that returned, timeouts, seconds in all)."""
    context = multiprocessing.get_context("fork")
    start = context.Event()
    stop = context.Event()
    written = context.Queue()
    watched = context.Queue()
    watcher_processes = [
        context.Process(target=read_until_stopped, args=(str(path), stop, watched))
        for _ in range(watchers)
    ]
    writer_processes = [
        context.Process(target=add_readers, args=(str(path), writer, additions, start, written))
        for writer in range(writers)
    ]
    for process in watcher_processes + writer_processes:
        process.start()
    began = time.monotonic()
    start.set()
    outcomes = [written.get(timeout=1800) for _ in writer_processes]
    took = time.monotonic() - began
    stop.set()
    reads = [watched.get(timeout=60) for _ in watcher_processes]
    for process in watcher_processes + writer_processes:
        process.join(timeout=60)
    assert [process.exitcode for process in writer_processes + watcher_processes] == [0] * (
        writers + watchers)

    assert [(reads_, failures, first) for reads_, failures, first in reads if failures] == []
    assert all(reads_ > 0 for reads_, _, _ in reads)
    assert [failures for *_, failures in outcomes if failures] == []
    timed_out = {(writer, number) for writer, _, numbers, _ in outcomes for number, _ in numbers}
    stored = added_readers(path)
    expected = {
        f"w{writer}-{number}": (f"model-{writer}-{number}", number)
        for writer in range(writers) for number in range(additions)
        if (writer, number) not in timed_out
    }
    assert stored == expected
    for reader_id in random.Random(7).sample(sorted(expected), min(20, len(expected))):
        reader = read_corvane_readers_config(str(path), reader_id)
        assert (reader.model_name, reader.max_batch_size) == expected[reader_id]
    assert read_corvane_readers_config(str(path), "reader-00000").model_name == "model-0"
    assert sorted(p.name for p in path.parent.iterdir()) == [path.name]
    longest = max(longest for _, longest, _, _ in outcomes)
    return longest, len(timed_out), took


def test_waiting_writers_get_the_lock_in_the_order_they_came(tmp_path):
    """Five writers start 150 ms apart while another process holds the lock;
    once it lets go they take it in the order they came, which is the order
    in which their readers stand in the file."""
    path = tmp_path / "manifest.yaml"
    path.write_text(numbered_manifest(1))
    writers = []
    started = {}
    with LockHolder(path) as holder:
        for number in range(5):
            started_read, started_write = os.pipe()
            pid = os.fork()
            if pid == 0:  # pragma: no cover - the writer
                code = 1
                try:
                    os.close(started_read)
                    os.write(started_write, repr(time.monotonic()).encode())
                    ReaderConfig(model_name=f"m{number}", device="cpu").add_to_manifest_yaml(
                        str(path), f"w{number}")
                    code = 0
                finally:
                    os._exit(code)
            os.close(started_write)
            # Running, about to call: the next one comes well after it.
            started[f"w{number}"] = float(os.read(started_read, 100))
            os.close(started_read)
            writers.append(pid)
            time.sleep(0.15)
        holder.release()
    for pid in writers:
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0
    order = re.findall(r"^    (w\d):$", path.read_text(), re.MULTILINE)
    assert order == sorted(started, key=started.get)


def test_concurrent_writers_lose_nothing(tmp_path):
    path = tmp_path / "manifest.yaml"
    path.write_text(numbered_manifest(1))
    longest, timeouts, _ = run_writers(path, writers=8, additions=50, watchers=1)
    assert timeouts == 0
    assert path.read_text().count("model_name:") == 8 * 50 + 1


@pytest.mark.long
@pytest.mark.parametrize(
    ("writers", "additions", "readers", "watchers"),
    [(16, 100, 1, 2), (32, 30, 5000, 1)],
    ids=["16x100", "32x30-on-5000"],
)
def test_many_writers_lose_nothing(tmp_path, writers, additions, readers, watchers):
    path = tmp_path / "manifest.yaml"
    path.write_text(numbered_manifest(readers))
    longest, timeouts, took = run_writers(path, writers, additions, watchers)
    print(f"\n{writers} writers x {additions} additions on {readers} readers: {took:.1f} s,"
          f" longest call that returned {longest:.2f} s, {timeouts} timed out")


# --- races with other programs, the process and the machine --------------------
#
# Each race returns what every module call did ({reader id: outcome}, and the
# moment it returned) and what the manifest holds afterwards. The invariant:
# every call that returned None has its reader in the final file (unless the
# other program replaced the file after the call had returned), and the
# other program's change is kept.

OTHER = "    outside:\n      model_name: other-program\n      device: cpu\n      consumer_group: o\n"
BIG = 10_000  # readers: a turn of a writer lasts about 0.1 s


def timed_add(path, reader_id):
    result = outcome(lambda: ReaderConfig(model_name=reader_id, device="cpu").add_to_manifest_yaml(
        str(path), reader_id))
    return {"id": reader_id, "outcome": result, "ended": time.monotonic()}


def writers_racing(path, count, other_program):
    """`count` writer processes start together; `other_program()` runs in this
    process meanwhile and returns the moment its change took effect."""
    context = multiprocessing.get_context("fork")
    start, results = context.Event(), context.Queue()

    def writer(number):
        start.wait()
        results.put(timed_add(path, f"w{number}"))

    processes = [context.Process(target=writer, args=(n,)) for n in range(count)]
    for process in processes:
        process.start()
    start.set()
    changed = other_program()
    calls = [results.get(timeout=60) for _ in processes]
    for process in processes:
        process.join(timeout=60)
    return calls, changed


def replacement_of(path, tmp_path):
    """The manifest as another program would write it: the old text plus a
    reader of its own, prepared in another directory."""
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    prepared = elsewhere / "manifest.yaml"
    prepared.write_text(path.read_text() + OTHER)
    return prepared


def race_rename_over(path, tmp_path):
    prepared = replacement_of(path, tmp_path)

    def mv():
        time.sleep(0.05)  # inside the first writer's turn
        os.replace(prepared, path)
        return time.monotonic()

    return writers_racing(path, 3, mv)


def race_remove_and_recreate(path, tmp_path):
    prepared = replacement_of(path, tmp_path)

    def rm_and_create():
        time.sleep(0.05)
        os.unlink(path)
        os.link(prepared, path)
        os.unlink(prepared)
        return time.monotonic()

    return writers_racing(path, 3, rm_and_create)


def race_chdir_mid_call(path, tmp_path):
    """A thread changes the working directory while another adds through a
    relative path: only the first directory's manifest may change."""
    other = tmp_path / "b"
    other.mkdir()
    (other / "manifest.yaml").write_bytes(path.read_bytes())

    def body():
        os.chdir(path.parent)
        mover = threading.Timer(random.uniform(0.01, 0.08), os.chdir, (other,))
        mover.start()
        call = timed_add("manifest.yaml", "w0")
        mover.join()
        return call

    call = run_in_child(body)
    untouched = (other / "manifest.yaml").read_text() == numbered_manifest(BIG)
    assert untouched and sorted(os.listdir(other)) == ["manifest.yaml"]
    return [call], None


def race_descriptor_limit(path, tmp_path):
    """The process has no descriptor to spare for the lock, then one more at
    a time: a call fails with the system's text or adds its reader, and never
    writes without the lock."""

    def body():
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        in_use = len(os.listdir("/proc/self/fd")) - 1  # the listing's own
        calls = []
        for spare in range(5):
            resource.setrlimit(resource.RLIMIT_NOFILE, (in_use + spare, hard))
            calls.append(timed_add(path, f"w{spare}"))
            resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
        return calls

    calls = run_in_child(body)
    assert calls[0]["outcome"] == "Exception: " + TOO_MANY_FILES
    return calls, None


def race_fifo_target(path, tmp_path):
    path.unlink()
    os.mkfifo(path)
    call = timed_add(path, "w0")
    assert call["outcome"] == "Exception: Error Writing to file: not a regular file"
    assert stat.S_ISFIFO(os.lstat(path).st_mode)
    path.unlink()
    path.write_text(numbered_manifest(BIG))
    return [call], None


def race_fork_in_place(path, tmp_path):
    """A thread forks while another adds to a bind-mounted manifest (the
    in-place route, which locks the file): the child, alive for 5 s, must not
    keep the writers' lock from the next call."""
    target_directory = tmp_path / "app"
    target_directory.mkdir()
    target = target_directory / "manifest.yaml"
    target.write_text("placeholder\n")

    path.write_text(numbered_manifest(2000))  # a turn of about 0.1 s

    def scenario():
        bind_mount(path, target)
        adding = threading.Thread(target=lambda: calls.append(timed_add(target, "w0")))
        calls = []
        adding.start()
        time.sleep(0.03)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # forking with threads
            child = os.fork()
        if child == 0:  # pragma: no cover - the forked child
            time.sleep(5)
            os._exit(0)
        adding.join()
        started = time.monotonic()
        calls.append(timed_add(target, "w1"))
        waited = time.monotonic() - started
        os.kill(child, signal.SIGKILL)
        os.waitpid(child, 0)
        return {"calls": calls, "waited": waited}

    result = in_namespace(scenario)
    assert result["waited"] < 2.5, f"the next writer waited {result['waited']:.1f} s for the child"
    return result["calls"], None


REPLACED = ("Exception: Error Writing to file: the manifest file was replaced outside this mount"
            " (mount its directory, not the file)")


def race_two_namespaces(path, tmp_path):
    """The manifest's directory on the host, the single file bind-mounted
    into a container (a mount namespace of its own): two writers on each
    side add 30 readers each at once. The sides exclude each other through
    the file's own lock; once a host rename has replaced the file, the
    container's mount still shows the old one, and its calls fail."""
    box = tmp_path / "box"
    box.mkdir()
    target = box / "manifest.yaml"
    target.write_text("placeholder\n")
    path.write_text(numbered_manifest(50))

    def scenario():
        bind_mount(path, target)
        context = multiprocessing.get_context("fork")
        start, results = context.Event(), context.Queue()

        def writer(where, name):
            start.wait()
            for number in range(30):
                results.put(timed_add(where, f"{name}-{number}"))

        processes = [context.Process(target=writer, args=(where, f"{side}{k}"))
                     for side, where in (("host", path), ("box", target)) for k in range(2)]
        for process in processes:
            process.start()
        start.set()
        calls = [results.get(timeout=120) for _ in range(120)]
        for process in processes:
            process.join(timeout=60)
        return calls

    calls = in_namespace(scenario)
    assert {c["outcome"] for c in calls if c["id"].startswith("host")} == {"None"}
    assert {c["outcome"] for c in calls if c["id"].startswith("box")} <= {"None", REPLACED}
    return calls, None


TOO_MANY_FILES = "Error Writing to file: Too many open files (os error 24)"
RACES = {
    "two-mount-namespaces": race_two_namespaces,
    "rename-over-during-a-turn": race_rename_over,
    "remove-and-recreate": race_remove_and_recreate,
    "chdir-mid-call": race_chdir_mid_call,
    "descriptor-limit": race_descriptor_limit,
    "fifo-target": race_fifo_target,
    "fork-on-the-in-place-route": race_fork_in_place,
}


@pytest.mark.parametrize("race", RACES)
def test_races_lose_no_addition(tmp_path, race):
    directory = tmp_path / "a"
    directory.mkdir()
    path = directory / "manifest.yaml"
    path.write_text(numbered_manifest(BIG))
    calls, changed = RACES[race](path, tmp_path)
    final = path.read_text()
    for call in calls:
        if call["outcome"] == "None" and (changed is None or call["ended"] > changed):
            assert f"    {call['id']}:\n" in final, f"{call['id']} returned None but is missing"
        else:
            assert call["outcome"].startswith("Exception: "), call
    if changed is not None:
        assert "    outside:\n" in final, "the other program's change is lost"
    assert "    reader-00000:\n" in final
    assert sorted(os.listdir(directory)) == ["manifest.yaml"]
