"""Every system call the module makes during one add_to_manifest_yaml (or one
read) failed in turn, as a database's I/O error tests do.

A counting run in a forked child finds the N calls the module's own code
makes (tests/fault_inject.c, loaded with LD_PRELOAD, counts them by caller
address). Then for every K from 1 to N a child fails the K-th call with an
errno, or is killed just before or just after it, and the parent checks the
one invariant: the manifest holds its old text byte for byte or the complete
new one; None only with the new text in place, flushed before the rename and
the directory flushed after it; mode and owner unchanged; nothing left beside
it but a complete new text; no descriptor leaked; a failure says what failed,
and is reported with the new text in place only when that is not on disk.
On the read path: the right reader or a plain exception naming the path.
An interrupted call (EINTR) is made again: the add returns None with the new
text in place, the read returns the reader.

The module is imported once, in a process started with the library preloaded
(this file run as a script); each case is a fork of it. The short form runs
in the main suite, the rest under the `long` marker."""

import ctypes
import errno
import json
import os
import pathlib
import re
import signal
import subprocess
import sys

import pytest

import corvane_config  # imported before the driver forks: each case is a fork of it

ROOT = pathlib.Path(__file__).resolve().parent.parent
LIBRARY_SOURCE = ROOT / "tests" / "fault_inject.c"
LIBRARY = ROOT / "build" / "fault_inject.so"

FAULTS = ["EIO", "ENOSPC", "EDQUOT", "EMFILE", "ENOLCK", "EINTR", "kill-before", "kill-after"]
SHORT_FAULTS = ["EIO", "ENOSPC", "EINTR"]
# The emulated aarch64 run: a failed write and an interrupted one on each route
# that replaces the file, and a failed read.
AARCH64_SMOKE = {("rename", "EIO"), ("rename", "EINTR"), ("named", "ENOSPC"), ("read", "EIO")}
SIZES = {"small": 3, "150k": 1500}  # readers; about 700 bytes and 150 KB
OWNER = 1234  # a manifest owned by someone else, as root sees it
MODE = 0o640
READ_ID = "reader-00001"


def cases():
    # "named": the rename route where no unnamed file can be made, so the new
    # text goes to a file under a random name from the start. "in-place-
    # no-statx": a bind-mounted manifest found only by the rename's EBUSY.
    for operation in ("rename", "named", "in-place", "in-place-no-statx", "read"):
        for size in SIZES:
            for fault in FAULTS:
                if operation == "read" and fault.startswith("kill"):
                    continue  # a read changes nothing a kill could damage
                short = size == "small" and (
                    fault == "EINTR" or operation in ("rename", "read") and fault in SHORT_FAULTS)
                smoke = size == "small" and (operation, fault) in AARCH64_SMOKE
                yield pytest.param(operation, size, fault, id=f"{operation}-{size}-{fault}",
                                   marks=(pytest.mark.aarch64_smoke,) if smoke else
                                   () if short else pytest.mark.long)


# Calls into the system a file operation could use; the module may import
# only those among them that the injector intercepts.
SYSTEM_CALLS = set("""
    access chmod chown close creat dup dup2 dup3 faccessat fallocate fallocate64 fchmod fchmodat
    fchown fchownat fcntl fcntl64 fdatasync fdopen flock fopen fopen64 fstat fstat64 fstatat
    fstatat64 fstatfs fstatfs64 fstatvfs fsync ftruncate ftruncate64 futimens getrandom ioctl
    lchown link linkat lockf lseek lseek64 lstat lstat64 mkdir mkdirat mkostemp mkostemps mkstemp
    mkstemps mmap msync open open64 openat openat64 openat2 pipe pipe2 poll posix_fadvise
    posix_fallocate pread pread64 preadv preadv2 pwrite pwrite64 pwritev pwritev2 read readlink
    readlinkat readv rename renameat renameat2 stat stat64 statfs statvfs statx symlink symlinkat
    sync_file_range syncfs syscall truncate unlink unlinkat utimensat write writev __open_2
    __open64_2 __openat_2 __openat64_2 __read_chk __pread_chk __pread64_chk
""".split())


def symbols(path, *flags):
    listing = subprocess.run(["nm", "-D", *flags, path], check=True, capture_output=True,
                             text=True).stdout
    return {line.split()[-1].split("@")[0] for line in listing.splitlines() if line.strip()}


@pytest.fixture(scope="session")
def injector():
    """The preload library, built with the system's C compiler when its
    source is newer than the build; it must intercept every system call the
    built module imports."""
    if not LIBRARY.exists() or LIBRARY.stat().st_mtime < LIBRARY_SOURCE.stat().st_mtime:
        LIBRARY.parent.mkdir(exist_ok=True)
        subprocess.run(["cc", "-shared", "-fPIC", "-O2", "-Wall", "-Wextra", "-Werror",
                        "-o", str(LIBRARY), str(LIBRARY_SOURCE), "-ldl"], check=True)
    imported = symbols(corvane_config.__file__, "--undefined-only") & SYSTEM_CALLS
    missed = imported - symbols(str(LIBRARY), "--defined-only")
    assert not missed, f"the module calls {sorted(missed)}, which the injector does not count"
    return str(LIBRARY)


@pytest.mark.parametrize("operation,size,fault", list(cases()))
def test_every_call_failed_in_turn_leaves_old_or_new_text(injector, tmp_path, operation, size,
                                                          fault):
    request = {"operation": operation, "readers": SIZES[size], "fault": fault,
               "directory": str(tmp_path)}
    # First in line, so that the module's calls reach it before any other
    # preloaded library's (the sanitizer runtimes intercept some of them too).
    environment = dict(os.environ, LD_PRELOAD=f"{injector} {os.environ.get('LD_PRELOAD', '')}")
    if "ASAN_OPTIONS" in environment:
        environment["ASAN_OPTIONS"] += ":verify_asan_link_order=0"
    completed = subprocess.run([sys.executable, __file__, json.dumps(request)],
                               capture_output=True, text=True, env=environment, timeout=1800)
    assert completed.returncode == 0, completed.stderr
    report = json.loads(completed.stdout)
    if "refused" in report:
        pytest.skip(report["refused"])
    print(f"\n{operation}-{size}-{fault}: {report['calls']} calls counted, "
          f"{report['cases']} cases, {len(report['problems'])} failing")
    assert not report["problems"], "\n".join(report["problems"])


# --- the driver: runs in the process started with the library preloaded ------

WRITES = {"write", "pwrite", "pwrite64", "ftruncate", "ftruncate64"}
SYNCS = {"fsync", "fdatasync", "syscall:fsync"}
LOCKS = {("flock", "exclusive"), ("fcntl", "set-write"), ("fcntl64", "set-write")}
TEMPORARY = re.compile(r"\.manifest\.yaml\.[0-9a-f]{16}\.tmp")


def parse_log(path):
    rows = []
    if not os.path.exists(path):
        return rows  # the injector never armed: no call was counted
    with open(path) as log:
        for line in log:
            index, name, kind, inode, target, result, error, interruptible, mark = (
                line.rstrip("\n").split("\t"))
            rows.append({"index": int(index), "name": name, "kind": kind, "inode": int(inode),
                         "target": target, "result": int(result), "errno": int(error),
                         "interruptible": interruptible == "1", "mark": mark})
    return rows


def replace_problem(log, file_inode, directory_inode):
    """What the call log shows missing from a replace that holds: the
    writers' lock taken before the manifest is touched (the directory's, and
    the manifest file's own, which in place is the file written), the new
    text flushed before the rename (or, in place, after the last write), the
    directory flushed after the rename. None when nothing is."""
    def last(rows):
        return max((row["index"] for row in rows), default=0)

    written = last(r for r in log if r["name"] in WRITES and r["inode"] == file_inode
                   and r["result"] >= 0)
    synced = [r["index"] for r in log if r["name"] in SYNCS and r["result"] == 0
              and r["kind"] == "r" and r["inode"] == file_inode and r["index"] > written]
    renamed = last(r for r in log if "rename" in r["name"] and r["result"] == 0)
    replaced = renamed or min((r["index"] for r in log if r["name"] in WRITES
                               and r["inode"] == file_inode), default=0)
    def locked(kind, inode=None):
        return any((r["name"], r["target"]) in LOCKS and r["result"] == 0 and r["kind"] == kind
                   and inode in (None, r["inode"]) and r["index"] < replaced for r in log)

    if not locked("d"):
        return "the directory's lock was not taken"
    if not renamed:  # rewritten in place
        if not locked("r", file_inode):
            return "rewritten without the file's own lock"
        return None if synced else "the new text was not flushed"
    if not locked("r"):
        return "the file's own lock was not taken"
    if not any(index < renamed for index in synced):
        return "the new text was not flushed before the rename"
    if not any(r["name"] in SYNCS and r["result"] == 0 and r["kind"] == "d"
               and r["inode"] == directory_inode and r["index"] > renamed for r in log):
        return "the directory was not flushed after the rename"
    return None


class Driver:
    def __init__(self, operation, readers, fault, directory):
        from write_support import numbered_manifest

        self.operation, self.fault = operation, fault
        self.directory = pathlib.Path(directory)
        self.log = str(self.directory / "calls.log")
        self.in_place = operation.startswith("in-place")
        self.work = self.directory / ("source" if self.in_place else "work")
        self.app = self.directory / "app"  # where the in-place route's mount appears
        self.file = self.work / "manifest.yaml"
        self.path = str(self.app / "manifest.yaml" if self.in_place else self.file)
        self.old = numbered_manifest(readers).encode()
        self.new = None
        self.injector = ctypes.CDLL(None)
        self.injector.fault_disarm.restype = ctypes.c_long

    def prepare(self):
        for directory in (self.work, self.app):
            directory.mkdir(exist_ok=True)
            for name in os.listdir(directory):
                os.unlink(directory / name)
        self.file.write_bytes(self.old)
        os.chmod(self.file, MODE)
        if os.geteuid() == 0:
            os.chown(self.file, OWNER, OWNER)
        self.owner = (os.stat(self.file).st_uid, os.stat(self.file).st_gid)
        if self.in_place:
            (self.app / "manifest.yaml").write_text("placeholder\n")

    def call(self):
        try:
            if self.operation == "read":
                read = corvane_config.read_corvane_readers_config(self.path, READ_ID)
                return "reader " + read.model_name
            reader = corvane_config.ReaderConfig(model_name="added-model", device="cpu", consumer_group="late")
            return repr(reader.add_to_manifest_yaml(self.path, "added"))
        except BaseException as error:  # noqa: BLE001 - the class is part of the outcome
            return f"{type(error).__name__}: {error}"

    def child(self, at, action):
        from write_support import Refused, bind_mount, private_mounts

        signal.alarm(60)  # a case that hangs dies, and is reported
        try:
            if self.in_place:
                private_mounts()
                bind_mount(self.file, self.path)
        except Refused as why:
            return {"refused": str(why)}
        os.environ.update(FAULT_AT=str(at), FAULT_ACTION=action, FAULT_LOG=self.log)
        if self.operation == "named":
            os.environ["FAULT_NO_TMPFILE"] = "1"
        if self.operation == "in-place-no-statx":
            os.environ["FAULT_NO_STATX"] = "1"
        if self.injector.fault_arm() != 0:
            return {"refused": "the fault injector did not arm"}
        before = len(os.listdir("/proc/self/fd"))
        outcome = self.call()
        after = len(os.listdir("/proc/self/fd"))
        calls = self.injector.fault_disarm()
        return {"outcome": outcome, "descriptors": [before, after], "calls": calls}

    def run(self, at, action):
        self.prepare()
        read_end, write_end = os.pipe()
        pid = os.fork()
        if pid == 0:  # pragma: no cover - the child
            try:
                os.close(read_end)
                os.write(write_end, json.dumps(self.child(at, action)).encode())
            finally:
                os._exit(0)
        os.close(write_end)
        with os.fdopen(read_end, "rb") as pipe:
            output = pipe.read()
        _, status = os.waitpid(pid, 0)
        return status, json.loads(output) if output else None, parse_log(self.log)

    def problems(self, action, status, reply, log):
        """What is wrong after one case, as a list of texts."""
        found = []
        marked = [row for row in log if row["mark"] != "-"]
        if os.WIFSIGNALED(status):
            expected = action.startswith("kill") and marked
            if not (expected and os.WTERMSIG(status) == signal.SIGKILL):
                found.append(f"died of signal {os.WTERMSIG(status)}")
        elif reply is None or os.WEXITSTATUS(status) != 0:
            found.append(f"child ended with status {status} and no report")
        elif reply["descriptors"][0] != reply["descriptors"][1]:
            found.append("descriptors leaked: %d open before the call, %d after"
                         % tuple(reply["descriptors"]))
        outcome = reply.get("outcome") if reply else None
        if outcome is not None:
            problem = self.outcome_problem(outcome, marked)
            if problem:
                found.append(problem)
        if self.operation == "read":
            if self.file.read_bytes() != self.old:
                found.append("a read changed the manifest")
            return found
        text = self.file.read_bytes()
        if text not in (self.old, self.new):
            found.append(f"the manifest holds neither text ({len(text)} bytes)")
        if outcome is not None and text == self.new and self.new is not None:
            # None exactly when the new text is in place, on disk and was
            # written under the lock; an error with the new text in place only
            # when it is not known to be on disk.
            problem = replace_problem(log, os.stat(self.file).st_ino,
                                         os.stat(self.work).st_ino)
            if outcome == "None" and problem:
                found.append(f"None returned, {problem}")
            elif outcome != "None" and not problem:
                found.append("an error reported while the new text is in place and flushed")
        elif outcome == "None":
            found.append("None returned, the manifest holds the old text")
        info = os.stat(self.file)
        if info.st_mode & 0o7777 != MODE:
            found.append(f"mode {info.st_mode & 0o7777:o}, was {MODE:o}")
        if (info.st_uid, info.st_gid) != self.owner:
            found.append(f"owner {info.st_uid}:{info.st_gid}, was {self.owner[0]}:{self.owner[1]}")
        for directory in (self.work, self.app):
            for name in os.listdir(directory):
                left = directory / name
                if left in (self.file, self.app / "manifest.yaml"):
                    continue
                # A file under a random name is made before it is filled: a
                # writer killed meanwhile leaves a part of the new text.
                partial = (self.operation == "named" and os.WIFSIGNALED(status)
                           and TEMPORARY.fullmatch(name) and self.new.startswith(left.read_bytes()))
                if left.read_bytes() != self.new and not partial:
                    found.append(f"{name} left beside the manifest, not the complete new text")
        return found

    def outcome_problem(self, outcome, marked):
        """Whether a call's outcome is one it may have: the right result, the
        path not found, or a failed write naming the error injected."""
        done = "reader model-1" if self.operation == "read" else "None"
        if self.fault == "EINTR":
            return None if outcome == done else f"interrupted once: outcome {outcome!r}"
        sane = [f"Exception: File Not Found on path: {self.path}", done]
        code = getattr(errno, self.fault, None)
        if code is not None and marked and marked[0]["mark"] == "injected":
            sane.append(f"Exception: Error Writing to file: {os.strerror(code)} (os error {code})")
        return None if outcome in sane else f"outcome {outcome!r}"

    def drive(self):
        status, reply, log = self.run(0, "none")
        if reply and "refused" in reply:
            return {"refused": reply["refused"]}
        if self.operation != "read":
            self.new = self.file.read_bytes()
        baseline = self.problems("none", status, reply, log)
        if baseline or self.new == self.old:
            return {"calls": 0, "cases": 0, "problems": [f"without faults: {baseline}"]}
        names = {row["index"]: row for row in log}
        found, cases = [], 0
        for at in range(1, reply["calls"] + 1):
            call = names[at]
            target = call["target"].replace(str(self.directory) + "/", "")
            if self.fault == "EINTR" and not call["interruptible"]:
                continue
            cases += 1
            status, case_reply, case_log = self.run(at, self.fault)
            for problem in self.problems(self.fault, status, case_reply, case_log):
                found.append(f"call {at} {call['name']}({target}, {call['kind']}) "
                             f"{self.fault}: {problem}")
        return {"calls": reply["calls"], "cases": cases, "problems": found}


if __name__ == "__main__":
    sys.path.insert(0, str(ROOT / "tests"))
    arguments = json.loads(sys.argv[1])
    # On a tmpfs of its own where the machine allows: a flush to a real disk
    # costs the run minutes and changes nothing the checks see.
    from write_support import Refused, mount_tmpfs, private_mounts

    try:
        private_mounts()
        mount_tmpfs(arguments["directory"], "size=64m")
    except Refused:
        pass
    driver = Driver(arguments["operation"], arguments["readers"], arguments["fault"],
                    arguments["directory"])
    print(json.dumps(driver.drive()))
