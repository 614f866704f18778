"""ReaderConfig against pure-Python and compiled record libraries.

Five operations: construction with three keywords, one property read, the
dictionary of set settings (`dict_without_optionals`; for the others the
equivalent that leaves out unset settings), a pickle round trip
(`pickle.loads(pickle.dumps(x))`, default protocol) and a replace that changes
one setting (`__replace__`, timed directly since `copy.replace` adds a fixed
cost of its own; `dataclasses.replace`, pydantic's `model_copy(update=)`,
`msgspec.structs.replace`). Competitors: a plain @dataclass, a pydantic v2
model and a msgspec.Struct, each with the same twenty fields; pydantic and
msgspec are skipped when not installed
(pip install -r benchmarks/requirements.txt).

Run: python benchmarks/bench_reader_config.py [--repeat N]
Times are the best of N repeats of timeit, in nanoseconds per call.
"""

import argparse
import dataclasses
import pickle
import timeit
from typing import Optional

from corvane_config import ReaderConfig

FIELDS = [
    ("model_name", str, ""),
    ("device", str, ""),
    ("consumer_group", str, ""),
    ("redis_host", Optional[str], None),
    ("internal_gateway_ip", Optional[str], None),
    ("access_token", Optional[str], None),
    ("log_level", Optional[str], None),
    ("backend", Optional[str], None),
    ("cuda_visible_devices", Optional[str], None),
    ("max_batch_size", Optional[int], None),
    ("batch_duration_millis", Optional[int], None),
    ("tensor_parallel", Optional[int], None),
    ("quant_type", Optional[str], None),
    ("max_sequence_length", Optional[int], None),
    ("nvlink_unavailable", Optional[int], None),
    ("disable_static", Optional[int], None),
    ("disable_cuda_graph", Optional[int], None),
    ("cuda_graph_cache_capacity", Optional[int], None),
    ("disable_paged_attention", Optional[int], None),
    ("page_cache_size", Optional[str], None),
]

KWARGS = {"model_name": "llama-3-8b", "device": "cuda", "tensor_parallel": 2}

DataclassConfig = dataclasses.make_dataclass(
    "DataclassConfig", [(name, kind, dataclasses.field(default=default)) for name, kind, default in FIELDS]
)


def dataclass_dict(config):
    return {
        field.name: value
        for field in dataclasses.fields(config)
        if (value := getattr(config, field.name)) is not None and field.name != "cuda_visible_devices"
    }


def replace_reader(config):
    return config.__replace__(max_batch_size=16)


def replace_dataclass(config):
    return dataclasses.replace(config, max_batch_size=16)


def competitors():
    """(label, constructor, dict function, replace function) for every
    competitor available. Classes are made module attributes, so that pickle
    finds them by name."""
    found = [
        ("corvane_config.ReaderConfig", ReaderConfig, lambda c: c.dict_without_optionals(),
         replace_reader),
        ("dataclass", DataclassConfig, dataclass_dict, replace_dataclass),
    ]
    try:
        import pydantic
    except ImportError:
        print("pydantic not installed: skipped")
    else:
        model = pydantic.create_model(
            "PydanticConfig",
            __module__=__name__,
            **{name: (kind, default) for name, kind, default in FIELDS},
        )
        globals()["PydanticConfig"] = model
        found.append(
            (
                f"pydantic {pydantic.VERSION}",
                model,
                lambda c: c.model_dump(exclude_none=True, exclude={"cuda_visible_devices"}),
                lambda c: c.model_copy(update={"max_batch_size": 16}),
            )
        )
    try:
        import msgspec
    except ImportError:
        print("msgspec not installed: skipped")
    else:
        struct = msgspec.defstruct(
            "MsgspecConfig",
            [(name, kind, default) for name, kind, default in FIELDS],
            omit_defaults=True,
            module=__name__,
        )
        globals()["MsgspecConfig"] = struct

        def struct_dict(config):
            values = msgspec.structs.asdict(config)
            values.pop("cuda_visible_devices", None)
            return {key: value for key, value in values.items() if value is not None}

        found.append(
            (
                f"msgspec {msgspec.__version__}",
                struct,
                struct_dict,
                lambda c: msgspec.structs.replace(c, max_batch_size=16),
            )
        )
    return found


def best_ns(statement, namespace, repeat):
    timer = timeit.Timer(statement, globals=namespace)
    number, _ = timer.autorange()
    return min(timer.repeat(repeat=repeat, number=number)) / number * 1e9


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7, help="best of N (default 7)")
    repeat = parser.parse_args().repeat

    rows = []
    for label, cls, to_dict, replace in competitors():
        instance = cls(**KWARGS)
        expected = {"model_name": "llama-3-8b", "device": "cuda", "consumer_group": "", "tensor_parallel": 2}
        assert to_dict(instance) == expected, (label, to_dict(instance))
        restored = pickle.loads(pickle.dumps(instance))
        assert type(restored) is cls and to_dict(restored) == expected, label
        changed = replace(instance)
        assert to_dict(changed) == {**expected, "max_batch_size": 16}, (label, to_dict(changed))
        assert instance.max_batch_size is None, label
        namespace = {
            "cls": cls,
            "kwargs": KWARGS,
            "instance": instance,
            "to_dict": to_dict,
            "pickle": pickle,
            "replace": replace,
        }
        if cls is ReaderConfig:  # replace timed as the method call itself
            replace_statement = "instance.__replace__(max_batch_size=16)"
        else:
            replace_statement = "replace(instance)"
        rows.append(
            (
                label,
                best_ns("cls(model_name='llama-3-8b', device='cuda', tensor_parallel=2)", namespace, repeat),
                best_ns("instance.tensor_parallel", namespace, repeat),
                best_ns("to_dict(instance)", namespace, repeat),
                best_ns("pickle.loads(pickle.dumps(instance))", namespace, repeat),
                best_ns(replace_statement, namespace, repeat),
            )
        )

    header = ("", "construct (3 kw)", "property read", "dict of set", "pickle round trip", "replace (1 kw)")
    width = max(len(row[0]) for row in rows) + 2
    print(f"ns per call, best of {repeat}")
    print(f"{header[0]:<{width}}" + "".join(f"{title:>19}" for title in header[1:]))
    for label, *times in rows:
        print(f"{label:<{width}}" + "".join(f"{value:>19.0f}" for value in times))


if __name__ == "__main__":
    main()
