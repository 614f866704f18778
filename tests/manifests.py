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
