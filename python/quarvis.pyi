# Types of the `quarvis` module (built from quarvis_module.cpp), for type checkers and editors.
import os
from typing import Iterator, Optional, Union

import numpy as np
import numpy.typing as npt

POINTS_PER_FRAME: int
STAT_NAMES: list[str]

class FormatError(ValueError):
    """The file is there but is none of the kinds quarvis reads, or holds no frame."""
    path: str
    reason: str

class Frame:
    """One frame of one sensor."""
    @property
    def sensor(self) -> str: ...
    @property
    def sequence(self) -> int: ...
    @property
    def stamp(self) -> float: ...
    @property
    def received(self) -> Optional[float]: ...
    @property
    def points(self) -> npt.NDArray[np.float32]:
        """Read-only (480, 3): x, y, z in metres."""

class FrameIterator(Iterator[Frame]):
    def __iter__(self) -> FrameIterator: ...
    def __next__(self) -> Frame: ...

class Frames:
    """The frames of a file or of bytes, in the order they came."""
    def __len__(self) -> int: ...
    def __getitem__(self, index: int) -> Frame: ...
    def __iter__(self) -> FrameIterator: ...
    @property
    def origin(self) -> str: ...
    @property
    def sensors(self) -> list[str]: ...
    @property
    def stats(self) -> Optional[dict[str, int]]:
        """The ten link counters by the viewer's names; None for a recording."""
    def select(self, sensor: str) -> Frames: ...
    def to_array(self, sensor: Optional[str] = None) -> npt.NDArray[np.float32]:
        """Read-only (frames, 480, 3) float32, in metres, without copying."""

def open(path: Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]) -> Frames:
    """A raw capture or a CSV recording; raises OSError or FormatError."""

def decode(data: Union[bytes, bytearray, memoryview, npt.NDArray[np.uint8]]) -> Frames:
    """Bytes through the link's synchroniser, as quarvis-decode runs them."""
