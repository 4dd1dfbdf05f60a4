"""Type-checked only (mypy --strict), never run.

assert_type pins what the installed stubs promise. Each "type: ignore[code]"
marks a mistake the stubs must reject: with warn_unused_ignores, an ignore
that stops being needed fails the check.
"""

from __future__ import annotations

import collections.abc
from typing import TYPE_CHECKING, Any, assert_type

import numpy as np
from numpy.typing import NDArray

import vorn

if TYPE_CHECKING:
    from vorn import AnyEvent, ReaderType, WD1Event, WD2Event


def wd1_events(path: str) -> None:
    reader = vorn.EventReader(path, "WD1")
    assert_type(reader, vorn.EventReader[WD1Event])
    assert_type(iter(reader), vorn.EventReader[WD1Event])
    event = next(reader)
    assert_type(event, WD1Event)
    assert_type(event["event_size"], int)
    assert_type(event["board_id"], int)
    assert_type(event["pattern"], int)
    assert_type(event["board_channel"], int)
    assert_type(event["event_counter"], int)
    assert_type(event["timestamp"], int)
    assert_type(event["data"], NDArray[np.uint16])
    event["samples"]  # type: ignore[typeddict-item]
    for e in reader:
        assert_type(e, WD1Event)


def wd2_events(path: str) -> None:
    reader = vorn.EventReader(path=path, reader_type="WD2")
    assert_type(reader, vorn.EventReader[WD2Event])
    event = next(reader)
    assert_type(event["event_counter"], int)
    assert_type(event["timestamp"], int)
    assert_type(event["samples"], int)
    assert_type(event["sampling_period"], int)
    assert_type(event["channels"], int)
    assert_type(event["data"], NDArray[np.float32])
    event["board_id"]  # type: ignore[typeddict-item]


def reader_type_from_a_variable(path: str, reader_type: str, known: ReaderType) -> None:
    reader = vorn.EventReader(path, reader_type)
    assert_type(reader, vorn.EventReader[AnyEvent])
    assert_type(vorn.EventReader(path, known), vorn.EventReader[AnyEvent])
    for event in reader:
        assert_type(event["event_counter"], int)
        assert_type(event["timestamp"], int)
        if "board_channel" in event:
            assert_type(event, WD1Event)
            assert_type(event["data"], NDArray[np.uint16])
        else:
            assert_type(event, WD2Event)
            assert_type(event["data"], NDArray[np.float32])


def unparameterised(reader: vorn.EventReader) -> AnyEvent:
    # A bare EventReader means a reader of either format.
    assert_type(reader, vorn.EventReader[AnyEvent])
    return next(reader)


def readers_are_covariant(wd1: vorn.EventReader[WD1Event]) -> None:
    either: vorn.EventReader[AnyEvent] = wd1
    iterator: collections.abc.Iterator[AnyEvent] = wd1
    wd2: vorn.EventReader[WD2Event] = wd1  # type: ignore[assignment]
    del either, iterator, wd2


def events_are_plain_dicts(event: WD1Event) -> dict[str, Any]:
    # A TypedDict is a dict at run time, but mypy keeps the two apart.
    plain: dict[str, object] = event  # type: ignore[assignment]
    del plain
    return dict(event)


def arguments_are_checked(path: str) -> None:
    vorn.EventReader(path)  # type: ignore[call-overload]
    vorn.EventReader(1, "WD1")  # type: ignore[call-overload]
    vorn.EventReader(path, "WD1", "extra")  # type: ignore[call-overload]
    vorn.EventReader(path, mode="WD1")  # type: ignore[call-overload]


def surface_is_fixed(reader: vorn.EventReader[WD1Event]) -> None:
    reader.close()  # type: ignore[attr-defined]
    with reader:  # type: ignore[attr-defined]
        pass
    vorn.PySliceContainer  # type: ignore[attr-defined]


class Subclass(vorn.EventReader[WD1Event]):  # type: ignore[misc]
    pass
