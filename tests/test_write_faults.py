"""add_to_manifest_yaml under faults caused for real that the fault injection
harness (test_fault_injection.py, every system call failed or killed in turn)
does not make: a manifest that cannot be renamed over, a file-size limit that
stops a write part-way, a writers' lock held by another process, and Ctrl-C
while waiting for it. Whatever happens, the manifest holds exactly its old
text or exactly its new one, and nothing else is left in its directory.

Faults that need mounts run in a forked child with a mount namespace of its
own and skip with the reason where the machine refuses."""

import os
import resource
import signal
import threading
import time

import pytest

from corvane_config import ReaderConfig, read_corvane_readers_config
from write_support import (
    STALL_LIMIT,
    LockHolder,
    Ticker,
    bind_mount,
    in_namespace,
    interrupted_on_the_main_thread,
    numbered_manifest,
    mount_tmpfs,
    outcome,
)

TOO_LARGE = "Exception: Error Writing to file: File too large (os error 27)"
LOCK_TIMEOUT = "Error Writing to file: Resource temporarily unavailable (os error 11)"


def new_reader():
    return ReaderConfig(model_name="added-model", device="cpu", consumer_group="late")


def add(path):
    return outcome(lambda: new_reader().add_to_manifest_yaml(str(path), "added"))


# --- a manifest mounted on its own -------------------------------------------


def bind_mounted_manifest(tmp_path, prepare):
    """A manifest on a small tmpfs, bind-mounted over a file in another
    directory (as into a container): renaming over it gives EBUSY, so it is
    rewritten in place. `prepare(source_directory)` runs before the call;
    the result says what the call did and what the file holds afterwards."""
    source_directory = tmp_path / "source"
    target_directory = tmp_path / "app"
    source_directory.mkdir()
    target_directory.mkdir()
    target = target_directory / "manifest.yaml"
    target.write_text("placeholder\n")
    old = numbered_manifest(100).encode()

    def scenario():
        mount_tmpfs(source_directory, "size=512k,nr_inodes=64")
        source = source_directory / "manifest.yaml"
        source.write_bytes(old)
        inode = os.stat(source).st_ino
        bind_mount(source, target)
        prepare(source_directory)
        result = add(target)
        text = source.read_bytes()
        return {
            "outcome": result,
            "unchanged": text == old,
            "new": text.decode(errors="replace") if text != old else None,
            "same_inode": os.stat(target).st_ino == inode,
            "app": sorted(os.listdir(target_directory)),
            "source": sorted(os.listdir(source_directory)),
        }

    return in_namespace(scenario)


def test_bind_mounted_manifest_is_rewritten_in_place(tmp_path):
    result = bind_mounted_manifest(tmp_path, lambda directory: None)
    assert result["outcome"] == "None"
    assert result["new"] is not None and "    added:\n      model_name: added-model\n" in result["new"]
    assert result["new"].count("model_name:") == 101
    assert (result["same_inode"], result["app"], result["source"]) == (
        True, ["manifest.yaml"], ["manifest.yaml"])


def test_write_failing_midway_in_place_puts_the_old_text_back(tmp_path):
    """A file-size limit between the old and the new length: room can be
    reserved, but the write stops at the limit after overwriting has begun.
    The old bytes are written back and the first error is reported."""
    old_length = len(numbered_manifest(100))

    def limit_file_size(directory):
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        _, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
        resource.setrlimit(resource.RLIMIT_FSIZE, (old_length + 100, hard))

    result = bind_mounted_manifest(tmp_path, limit_file_size)
    assert (result["outcome"], result["unchanged"], result["same_inode"]) == (TOO_LARGE, True, True)


# --- the writers' lock held by another process --------------------------------


def test_waiting_for_the_lock_lets_other_threads_run(tmp_path):
    path = tmp_path / "manifest.yaml"
    path.write_text(numbered_manifest(10))
    with LockHolder(path) as holder, Ticker() as ticker:
        timer = threading.Timer(2.0, holder.release)
        timer.start()
        started = time.monotonic()
        result = add(path)
        waited = time.monotonic() - started
        timer.join()
    assert result == "None"
    assert 1.9 < waited < 9
    assert read_corvane_readers_config(str(path), "added").model_name == "added-model"
    assert ticker.longest_gap < STALL_LIMIT, \
        f"a 5 ms ticker stalled {ticker.longest_gap * 1e3:.0f} ms"


def test_ctrl_c_while_waiting_for_the_lock_raises_keyboard_interrupt(tmp_path):
    path = tmp_path / "manifest.yaml"
    old = numbered_manifest(10).encode()
    path.write_bytes(old)
    with LockHolder(path):
        result = interrupted_on_the_main_thread(
            lambda: new_reader().add_to_manifest_yaml(str(path), "added"))
    assert result["outcome"] == "KeyboardInterrupt: "
    assert result["after_signal"] < 0.2
    assert path.read_bytes() == old
    assert sorted(os.listdir(tmp_path)) == ["manifest.yaml"]


# --- a new text too large to be read back --------------------------------------


@pytest.mark.long
def test_new_text_of_two_gibibytes_is_refused_before_the_file_is_touched(tmp_path):
    """Ten readers share one anchored text of 21.5 million short lines (65 MB
    of manifest); written out, each copy becomes an indented literal block,
    2.15 GB in all: more than a read accepts. The call refuses it and the
    manifest stays as it was, still readable."""
    lines = 21_500_000
    big = '"' + "a\\n" * lines + '"'
    readers = "".join(
        f"    r{i}:\n      model_name: {'&big ' + big if i == 0 else '*big'}\n"
        f"      device: cpu\n      consumer_group: g\n"
        for i in range(10))
    path = tmp_path / "manifest.yaml"
    path.write_text(numbered_manifest(0) + readers)
    del big, readers
    before = os.stat(path)
    result = add(path)
    assert result == "Exception: Error Error Serializing/Deserializing:: document too large"
    after = os.stat(path)
    assert (after.st_ino, after.st_size, after.st_mtime_ns) == (
        before.st_ino, before.st_size, before.st_mtime_ns)
    assert sorted(os.listdir(tmp_path)) == ["manifest.yaml"]
    assert read_corvane_readers_config(str(path), "r9").device == "cpu"
