"""Calls that run without the interpreter lock, each in a child process:
a daemon thread inside a call while the interpreter shuts down (the process
must exit with the status the program gave, never abort), arguments freed by
another thread during a call (the call must still use the caller's values),
and file names that are not UTF-8 (every name open() accepts must work).
Each row is a script and its exact outcome: exit status and output."""

import shutil
import subprocess
import sys
from textwrap import dedent

import pytest

from write_support import numbered_manifest

PRELUDE = """\
import fcntl, functools, os, pathlib, sys, threading, time
from corvane_config import ReaderConfig, read_corvane_readers_config
"""

# The main thread returns while a daemon thread is inside a call: exit 0.
# The threads call through a Python function: an object that only the ended
# thread's C stack holds (such as the dict that Thread.run unpacks the keyword
# arguments from) is left allocated by the interpreter, which LeakSanitizer
# would report.
SHUTDOWN = {
    "read loop": """
        def loop():
            read_corvane_readers_config("large.yaml", "reader-00000")
            started.set()
            while True:
                read_corvane_readers_config("large.yaml", "reader-00000")
        started = threading.Event()
        threading.Thread(target=loop, daemon=True).start()
        started.wait()
    """,
    "pipe wait": """
        os.mkfifo("silent")
        writer = os.open("silent", os.O_RDWR)  # a writer that never writes
        threading.Thread(target=lambda: read_corvane_readers_config("silent", "r"),
                         daemon=True).start()
        time.sleep(0.2)
    """,
    "writers' wait": """
        holder = os.open(".", os.O_RDONLY | os.O_DIRECTORY)  # the writers' lock
        fcntl.flock(holder, fcntl.LOCK_EX)
        reader = ReaderConfig(model_name="m", device="cpu")
        threading.Thread(target=lambda: reader.add_to_manifest_yaml("small.yaml", "new"),
                         daemon=True).start()
        time.sleep(0.2)
    """,
    "write loop": """
        def loop():
            reader.add_to_manifest_yaml("small.yaml", "new")
            started.set()
            while True:
                reader.add_to_manifest_yaml("small.yaml", "new")
        reader = ReaderConfig(model_name="m", device="cpu")
        started = threading.Event()
        threading.Thread(target=loop, daemon=True).start()
        started.wait()
    """,
}

# A call waits (a read on a pipe, an add for the writers' lock) while another
# thread swaps the arguments of the functools.partial that made it (freeing
# them) and allocates objects of the same size, then lets the call go on.
FREED = """
    os.mkfifo("pipe")
    writer = os.open("pipe", os.O_RDWR)
    holder = os.open(".", os.O_RDONLY | os.O_DIRECTORY)
    fcntl.flock(holder, fcntl.LOCK_EX)
    def swap():
        time.sleep(0.2)
        call.__setstate__((print, (), None, None))
        others = [{other} for _ in range(200)]
        os.write(writer, pathlib.Path("small.yaml").read_bytes())
        os.close(writer)
        os.close(holder)
    threading.Thread(target=swap).start()
"""

OUTCOMES = {
    **{name: (dedent(script), 0, "") for name, script in SHUTDOWN.items()},
    "partial freed during a read": (dedent(FREED.format(other='"".join(["O"] * 65)')) + dedent("""
        reader_id = "".join(["gone-"] * 13)  # held by the partial alone
        call = functools.partial(read_corvane_readers_config, "pipe", reader_id)
        del reader_id
        try:
            call()
        except Exception as error:
            print(error)
    """), 0, f"Invalid Value: No reader with id {'gone-' * 13} found in manifest.yaml\n"),
    "partial freed during an add": (dedent(FREED.format(
        other='ReaderConfig(model_name="OTHER", device="cpu")')) + dedent("""
        mine = ReaderConfig(model_name="mine", device="cuda", consumer_group="g")
        call = functools.partial(ReaderConfig.add_to_manifest_yaml, mine, "small.yaml", "new")
        del mine
        call()
        print(read_corvane_readers_config("small.yaml", "new").dict_without_optionals())
    """), 0, "{'model_name': 'mine', 'device': 'cuda', 'consumer_group': 'g'}\n"),
    # A handler that forks runs inside the writers' wait (its interrupt
    # check): the child's call must not use the numbers its closed copies
    # had, which the child's own files now hold.
    "fork in a signal handler during the writers' wait": (dedent("""
        import signal
        os.mkdir("other")
        holder = os.open(".", os.O_RDONLY | os.O_DIRECTORY)  # the writers' lock
        fcntl.flock(holder, fcntl.LOCK_EX)
        parent, mine = os.getpid(), []
        def fork(signum, frame):
            child = os.fork()
            os.close(holder)
            if child == 0:
                mine.extend(os.open(name, os.O_RDONLY) for name in ("other", "large.yaml"))
        signal.signal(signal.SIGALRM, fork)
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        try:
            ReaderConfig(model_name="m", device="cpu").add_to_manifest_yaml("small.yaml", "new")
            outcome = "None"
        except Exception as error:
            outcome = str(error)
        if os.getpid() != parent:
            same = [os.fstat(fd).st_ino for fd in mine] == [os.stat(n).st_ino
                                                            for n in ("other", "large.yaml")]
            print("child:", outcome, os.listdir("other"), same, flush=True)
            os._exit(0)
        os.wait()
        print("parent:", outcome, read_corvane_readers_config("small.yaml", "new").model_name)
    """), 0, "child: Error Writing to file: the process forked during the call [] True\n"
             "parent: None m\n"),
    "non-UTF-8 name, read": (dedent("""
        name = "small\\udcff.yaml"
        os.rename("small.yaml", os.fsencode(name))
        for path in (name, pathlib.Path(name)):
            print(read_corvane_readers_config(path, "reader-00001").model_name)
        for path in ("missing\\udcff.yaml", "m\\ud800.yaml"):
            try:
                read_corvane_readers_config(path, "reader-00001")
            except Exception as error:
                print(type(error).__name__, ascii(str(error)))
    """), 0, "model-1\nmodel-1\n"
             "Exception 'File Not Found on path: missing\\udcff.yaml'\n"
             "UnicodeEncodeError \"'utf-8' codec can't encode character '\\\\ud800' in position 1:"
             " surrogates not allowed\"\n"),
    "non-UTF-8 name, add": (dedent("""
        name = "small\\udcff.yaml"
        os.rename("small.yaml", os.fsencode(name))
        ReaderConfig(model_name="a", device="cpu").add_to_manifest_yaml(name, "a")
        ReaderConfig(model_name="b", device="cpu").add_to_manifest_yaml(pathlib.Path(name), "b")
        print(sorted(os.listdir(".")))
        print([read_corvane_readers_config(name, key).model_name for key in "ab"])
        try:
            ReaderConfig(model_name="m", device="cpu").add_to_manifest_yaml("m\\ud800.yaml", "a")
        except UnicodeEncodeError as error:
            print(ascii(str(error)))
    """), 0, "['large.yaml', 'small\\udcff.yaml']\n['a', 'b']\n"
             "\"'utf-8' codec can't encode character '\\\\ud800' in position 1:"
             " surrogates not allowed\"\n"),
}

# A shutdown that goes wrong does not do so every time: a few runs each.
RUNS = {name: 3 if name in SHUTDOWN else 1 for name in OUTCOMES}


@pytest.fixture(scope="module")
def manifests(tmp_path_factory):
    directory = tmp_path_factory.mktemp("manifests")
    (directory / "large.yaml").write_text(numbered_manifest(500), encoding="utf-8")
    (directory / "small.yaml").write_text(numbered_manifest(10), encoding="utf-8")
    return directory


@pytest.mark.parametrize("name", OUTCOMES)
def test_outcome(name, manifests, tmp_path):
    script, status, output = OUTCOMES[name]
    code = PRELUDE + script
    for run in range(RUNS[name]):
        workdir = tmp_path / str(run)
        workdir.mkdir()
        (workdir / "large.yaml").symlink_to(manifests / "large.yaml")
        shutil.copyfile(manifests / "small.yaml", workdir / "small.yaml")
        done = subprocess.run([sys.executable, "-c", code], cwd=workdir, capture_output=True,
                              text=True, errors="backslashreplace", timeout=120)
        assert (done.returncode, done.stdout, done.stderr) == (status, output, ""), \
            f"run {run}:\n{done.stderr}"
