"""Copies and pickles keep every setting, including those the keyword
constructor cannot set, and the instance's own attributes."""

import copy
import pickle

import pytest

import corvane_config

MANIFEST = """\
corvane:
  server_config:
  readers_config:
    r1:
      model_name: m
      device: cuda
      consumer_group: g
      redis_host: redis
      batch_duration_millis: 18446744073709551615
      disable_static: 1
      page_cache_size: 2GB
"""


@pytest.fixture
def reader(tmp_path):
    path = tmp_path / "manifest.yaml"
    path.write_text(MANIFEST)
    return corvane_config.read_corvane_readers_config(str(path), "r1")


def settings(reader):
    return {name: getattr(reader, name) for name in
            ("model_name", "device", "consumer_group", "redis_host",
             "batch_duration_millis", "disable_static", "page_cache_size", "max_batch_size")}


@pytest.mark.parametrize("copier", [copy.copy, copy.deepcopy])
def test_copy_keeps_every_setting(reader, copier):
    reader.note = ["shared"]
    duplicate = copier(reader)
    assert duplicate is not reader
    assert type(duplicate) is corvane_config.ReaderConfig
    assert settings(duplicate) == settings(reader)
    assert duplicate.note == ["shared"]
    assert (duplicate.note is reader.note) == (copier is copy.copy)


def test_deepcopy_of_self_reference(reader):
    reader.me = reader
    duplicate = copy.deepcopy(reader)
    assert duplicate.me is duplicate


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_keeps_every_setting(reader, protocol):
    reader.note = ["kept"]
    duplicate = pickle.loads(pickle.dumps(reader, protocol=protocol))
    assert type(duplicate) is corvane_config.ReaderConfig
    assert settings(duplicate) == settings(reader)
    assert duplicate.note == ["kept"]
