"""Type information for the corvane_config extension module.

The module itself is compiled; this stub-only package (PEP 561) describes its
public surface for type checkers and editors.
"""

import os
from collections.abc import Callable
from typing import NoReturn, Self, SupportsIndex, TypeAlias, TypedDict, Unpack, final, overload

__all__ = [
    "ReaderConfig",
    "AppConfig",
    "read_corvane_readers_config",
    "remove_corvane_readers_config",
    "read_corvane_readers",
]

# The settings in declaration order, None for unset ones: what pickling a
# ReaderConfig stores.
_State: TypeAlias = tuple[str | int | None, ...]

class _Changes(TypedDict, total=False):
    """What `ReaderConfig.__replace__` (and `copy.replace`) accepts: any of
    the twenty settings; None unsets an optional one."""

    model_name: str
    device: str
    consumer_group: str
    redis_host: str | None
    internal_gateway_ip: str | None
    access_token: str | None
    log_level: str | None
    backend: str | None
    cuda_visible_devices: str | None
    max_batch_size: SupportsIndex | None
    batch_duration_millis: SupportsIndex | None
    tensor_parallel: SupportsIndex | None
    quant_type: str | None
    max_sequence_length: SupportsIndex | None
    nvlink_unavailable: SupportsIndex | None
    disable_static: SupportsIndex | None
    disable_cuda_graph: SupportsIndex | None
    cuda_graph_cache_capacity: SupportsIndex | None
    disable_paged_attention: SupportsIndex | None
    page_cache_size: str | None

@final
class ReaderConfig:
    """One reader's settings: three required texts and seventeen optional settings.

    Build one from keyword arguments, or read one out of a manifest file with
    `read_corvane_readers_config`. Every setting is a read-only property.
    """

    @overload
    def __new__(cls) -> Self:
        """Every text setting empty, every optional setting unset; no checks run."""

    @overload
    def __new__(
        cls,
        *,
        model_name: str,
        device: str,
        consumer_group: str = ...,
        log_level: str = ...,
        cuda_visible_devices: str | None = ...,
        max_batch_size: SupportsIndex | None = ...,
        tensor_parallel: SupportsIndex | None = ...,
        max_sequence_length: SupportsIndex | None = ...,
    ) -> Self:
        """Build a reader from the eight settings the constructor can set.

        `model_name` must not be empty and `device` must be "cpu" or "cuda"
        (TypeError otherwise). `max_batch_size` fits 64 unsigned bits,
        `tensor_parallel` and `max_sequence_length` 32 (OverflowError
        otherwise); None leaves a setting unset. The twelve other settings
        cannot be set here.
        """

    @property
    def model_name(self) -> str: ...
    @property
    def device(self) -> str: ...
    @property
    def consumer_group(self) -> str: ...
    @property
    def redis_host(self) -> str | None: ...
    @property
    def internal_gateway_ip(self) -> str | None: ...
    @property
    def access_token(self) -> str | None: ...
    @property
    def log_level(self) -> str | None: ...
    @property
    def backend(self) -> str | None: ...
    @property
    def cuda_visible_devices(self) -> str | None: ...
    @property
    def max_batch_size(self) -> int | None: ...
    @property
    def batch_duration_millis(self) -> int | None: ...
    @property
    def tensor_parallel(self) -> int | None: ...
    @property
    def quant_type(self) -> str | None: ...
    @property
    def max_sequence_length(self) -> int | None: ...
    @property
    def nvlink_unavailable(self) -> int | None: ...
    @property
    def disable_static(self) -> int | None: ...
    @property
    def disable_cuda_graph(self) -> int | None: ...
    @property
    def cuda_graph_cache_capacity(self) -> int | None: ...
    @property
    def disable_paged_attention(self) -> int | None: ...
    @property
    def page_cache_size(self) -> str | None: ...
    def dict_without_optionals(self) -> dict[str, str | int]:
        """The settings that are set, by name; never holds cuda_visible_devices."""

    def validate(self) -> None:
        """Raise Exception("Validation Errors: [...]") listing every inconsistency."""

    def add_to_manifest_yaml(
        self, path: str | os.PathLike[str], reader_id: str, *, keep_layout: bool = False
    ) -> None:
        """Store this reader under `reader_id` in the manifest at `path`.

        The manifest is written afresh (only its corvane section, every
        setting), or with keep_layout=True by changing only the lines of this
        reader: comments, order, quoting and other sections stay as they are.
        """

    def __eq__(self, other: object, /) -> bool:
        """Equal when all twenty settings are; instance attributes do not count."""

    def __hash__(self) -> int: ...
    def __copy__(self) -> ReaderConfig:
        """A copy with every setting and the instance's own attributes."""

    def __deepcopy__(self, memo: dict[int, object], /) -> ReaderConfig: ...
    def __reduce__(
        self,
    ) -> (
        tuple[Callable[[_State], ReaderConfig], tuple[_State]]
        | tuple[Callable[[_State], ReaderConfig], tuple[_State], dict[str, object]]
    ):
        """Pickle every setting, unset ones included, and the instance's own attributes."""

    def __replace__(self, /, **changes: Unpack[_Changes]) -> ReaderConfig:
        """A new reader with the named settings changed; this one stays as it is.

        Texts must be str; integers fit the setting's width (OverflowError
        otherwise); None unsets an optional setting and is refused (TypeError)
        for model_name, device and consumer_group. Nothing else is checked:
        use validate(). The new reader has no instance attributes.
        """

@final
class AppConfig:
    """The app configuration"""

    def __new__(cls, *args: object, **kwargs: object) -> NoReturn:
        """No constructor: raises TypeError("No constructor defined")."""

def read_corvane_readers_config(
    path: str | os.PathLike[str] = "str", reader_id: str = "str"
) -> ReaderConfig:
    """Read the reader config for reader_id: reader_id from the manifest yaml file.
    If no such reader is found, return an error to be raised in python"""

def remove_corvane_readers_config(path: str | os.PathLike[str], reader_id: str) -> None:
    """Remove the reader config for reader_id: reader_id from the manifest yaml file,
    keeping every other line of the file as it is."""

def read_corvane_readers(path: str | os.PathLike[str]) -> dict[str, ReaderConfig]:
    """Read every reader config of the manifest yaml file: a dict from reader_id to
    ReaderConfig, in file order."""

def _yaml_fast_path(text: str, /) -> bool:
    """Whether the YAML fast path reads text (a private test hook)."""

def _yaml_events(text: str, fast_path: bool, /) -> int | None:
    """The number of events the YAML parse of text gives, None where it fails; fast_path false reads through libyaml (a private benchmark hook)."""

# Private helpers of the corvane-config command (corvane_config_cli); not in __all__.

# (line, column, reader_id or None outside a reader, kind, message); kind is
# "read", "validate" or "add".
_Finding: TypeAlias = tuple[int, int, str | None, str, str]

def _check_manifest(path: str | os.PathLike[str], /) -> tuple[int, list[_Finding]]:
    """Check the whole manifest at path: (readers, findings), each finding
    (line, column, reader_id or None, kind, message)."""

def _manifest_schema() -> str:
    """The manifest format's JSON Schema (draft-07), as compact JSON."""
