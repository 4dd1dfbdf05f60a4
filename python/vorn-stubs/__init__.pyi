"""Reader for binary event files of waveform digitizers.

Only ``EventReader`` exists at run time. ``WD1Event``, ``WD2Event``,
``AnyEvent`` and ``ReaderType`` live in this stub alone, for type checkers:
import them inside ``if typing.TYPE_CHECKING:`` (or in quoted annotations),
never at run time, where ``from vorn import WD1Event`` raises ImportError.
"""

from typing import Generic, Literal, TypeAlias, TypedDict, final, overload, type_check_only

import numpy as np
from numpy.typing import NDArray
from typing_extensions import Self, TypeVar

__all__ = ["EventReader"]

@final
@type_check_only
class WD1Event(TypedDict):
    """One WD1 event, keys in file order. Header values are signed 32-bit."""

    event_size: int
    """Size of the whole event in bytes, header included."""
    board_id: int
    pattern: int
    board_channel: int
    event_counter: int
    timestamp: int
    data: NDArray[np.uint16]
    """The event's samples: a writeable 1-D view that owns no copy."""

@final
@type_check_only
class WD2Event(TypedDict):
    """One WD2 event, keys in file order."""

    event_counter: int
    """Unsigned 32-bit; wraps from 2**32 - 1 to 0."""
    timestamp: int
    """Unsigned 64-bit."""
    samples: int
    """Samples per channel, unsigned 32-bit."""
    sampling_period: int
    """Unsigned 64-bit, in the units the digitizer wrote."""
    channels: int
    """The event's own channel-count word (signed 32-bit); 1 for files without it."""
    data: NDArray[np.float32]
    """All channels' samples, channel after channel: a writeable 1-D view."""

AnyEvent: TypeAlias = WD1Event | WD2Event
"""An event of either format; narrow it with ``"board_id" in event``."""

ReaderType: TypeAlias = Literal["WD1", "WD2"]

_EventT_co = TypeVar("_EventT_co", covariant=True, default=AnyEvent)

@final
class EventReader(Generic[_EventT_co]):
    """EventReader(path, reader_type)

    Iterate the events of a WD1 or WD2 file, one new dict per event.

    The iteration ends quietly at the end of the data; iterating the same
    reader again later resumes where it stopped, so a file that is still
    being written can be followed. The file stays open until the reader is
    garbage-collected.

    Raises TypeError for arguments that are not ``str``, ValueError for an
    unknown ``reader_type``, the OSError subclass of the failure when the
    file cannot be opened, and plain OSError when the layout of a WD2 file
    cannot be detected.
    """

    @overload
    def __new__(cls, path: str, reader_type: Literal["WD1"]) -> EventReader[WD1Event]: ...
    @overload
    def __new__(cls, path: str, reader_type: Literal["WD2"]) -> EventReader[WD2Event]: ...
    @overload
    def __new__(cls, path: str, reader_type: str) -> EventReader[AnyEvent]: ...
    def __iter__(self) -> Self: ...
    def __next__(self) -> _EventT_co:
        """Read the next event.

        Raises StopIteration at the end of the data (resumable), the OSError
        subclass of a read error, OSError for an impossible size in a
        header, MemoryError when the samples cannot be allocated, and
        RuntimeError when the same reader is already busy in another call.
        """
