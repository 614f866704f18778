"""Reading one reader out of manifests of growing size, against PyYAML's C
loader doing the same lookup (parse only, no typing or checks) when it is
installed. Run: python benchmarks/bench_read.py"""

import os
import tempfile
import timeit

import corvane_config

try:
    import yaml
except ImportError:  # pragma: no cover - optional competitor
    yaml = None

SERVER = """\
corvane:
  server_config:
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
  readers_config:
"""

READER = """\
    reader-{i}:
      model_name: model-{i}
      device: cuda
      consumer_group: group-{i}
      redis_host: redis.local
      max_batch_size: 32
      tensor_parallel: 2
      cuda_visible_devices: "0,1"
      page_cache_size: 2GB
"""


def best(fn, number):
    return min(timeit.repeat(fn, number=number, repeat=5)) / number


def main():
    print(f"{'readers':>8} {'corvane_config':>16} {'PyYAML CSafeLoader':>20}")
    for count in (1, 100, 10_000):
        text = SERVER + "".join(READER.format(i=i) for i in range(count))
        with tempfile.NamedTemporaryFile("w", suffix=".yaml", delete=False) as f:
            f.write(text)
        target = f"reader-{count - 1}"
        number = max(1, 2000 // count)
        ours = best(lambda: corvane_config.read_corvane_readers_config(f.name, target), number)
        row = f"{count:>8} {ours * 1e6:>13.1f} us"
        if yaml is not None and hasattr(yaml, "CSafeLoader"):

            def theirs():
                with open(f.name, encoding="utf-8") as handle:
                    return yaml.load(handle, Loader=yaml.CSafeLoader)["corvane"]["readers_config"][target]

            row += f" {best(theirs, number) * 1e6:>17.1f} us"
        print(row)
        os.unlink(f.name)


if __name__ == "__main__":
    main()
