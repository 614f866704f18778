"""Reads one reader's configuration out of a manifest and prints it.

Usage: python examples/read_reader.py MANIFEST READER_ID
"""

import sys
import types

import corvane_config

# The settings in declaration order: the class's read-only properties.
SETTINGS = [
    name
    for name, attribute in vars(corvane_config.ReaderConfig).items()
    if isinstance(attribute, types.GetSetDescriptorType) and not name.startswith("__")
]


def main() -> int:
    path, reader_id = sys.argv[1], sys.argv[2]
    try:
        reader = corvane_config.read_corvane_readers_config(path, reader_id)
    except Exception as error:
        print(error, file=sys.stderr)
        return 1
    print(f"reader {reader_id} in {path}:")
    for name in SETTINGS:
        value = getattr(reader, name)
        if value is not None:
            print(f"  {name}: {value!r}")
    try:
        reader.validate()
        print("validation: ok")
    except Exception as error:
        print(f"validation: {error}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
