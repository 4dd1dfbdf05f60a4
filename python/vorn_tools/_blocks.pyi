from typing import final

import numpy as np

@final
class BlockReader:
    def __new__(cls, path: str, reader_type: str) -> BlockReader: ...
    @property
    def channels(self) -> int: ...
    @property
    def channel_word(self) -> bool: ...
    @property
    def position(self) -> int: ...
    @property
    def pending_length(self) -> int | None: ...
    def read(self, headers: dict[str, np.ndarray], data: np.ndarray, start: int, stop: int, /) -> int: ...
    def read_flat(
        self,
        headers: dict[str, np.ndarray],
        flat: np.ndarray,
        lengths: np.ndarray,
        start: int,
        stop: int,
        flat_start: int,
        /,
    ) -> tuple[int, int]: ...
    def peek(self) -> int | None: ...
