"""The server settings that the manifests of the tests and benchmarks share,
and a manifest built around them."""

# The twelve settings in the order they are written, one "key: value" line
# each, not indented.
SERVER_SETTINGS = """\
echo: false
port: 3000
enable_metrics: true
heartbeat_check_interval: 10
management_port: 3001
vertex_port: 3002
openai_port: 3003
snowflake_port: 3004
internal_port: 3005
repository_path: /srv/models
body_size_limit_bytes: 2097152
allow_remote_images: false
"""

# The settings as the server_config entry of a section, in block style.
SERVER_CONFIG = "  server_config:\n" + "".join(
    "    " + line + "\n" for line in SERVER_SETTINGS.splitlines())


def manifest(readers="", section="corvane"):
    """A manifest of one section: the server settings, then readers_config
    followed by `readers` (reader entries indented by four spaces)."""
    return f"{section}:\n" + SERVER_CONFIG + "  readers_config:\n" + readers


def fast_path_on():
    """Whether the module reads the texts its YAML fast path accepts with it:
    the libyaml it loaded is 0.2.5 and CORVANE_YAML_FAST_PATH is not "0"."""
    import ctypes
    import os
    import pathlib

    import corvane_config  # noqa: F401 - loads libyaml

    if os.environ.get("CORVANE_YAML_FAST_PATH") == "0":
        return False
    with open("/proc/self/maps", encoding="utf-8") as maps:
        paths = [line.split()[-1] for line in maps if len(line.split()) >= 6]
    found = [path for path in paths if "libyaml" in pathlib.Path(path).name]
    if not found:
        return None  # linked in statically: the version cannot be asked here
    library = ctypes.CDLL(found[0])
    library.yaml_get_version_string.restype = ctypes.c_char_p
    return library.yaml_get_version_string().decode() == "0.2.5"
