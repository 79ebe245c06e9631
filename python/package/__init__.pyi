import os
from typing import Any, Iterator, Literal, Union

import numpy as np

_Path = Union[str, "os.PathLike[str]"]

__version__: str

class Error(RuntimeError):
    rows: np.ndarray

def decode(capture: _Path, snapshot: _Path, *, insts: str = ..., options: Literal["recv", "norecv"] = ...,
           version: Literal[1, 2] = ..., allow_truncated: bool = ...) -> np.ndarray: ...
def iter_decode(capture: _Path, snapshot: _Path, *, rows: int = ..., insts: str = ...,
                options: Literal["recv", "norecv"] = ..., version: Literal[1, 2] = ...,
                allow_truncated: bool = ...) -> Iterator[np.ndarray]: ...
def decode_df(capture: _Path, snapshot: _Path, *, insts: str = ..., options: Literal["recv", "norecv"] = ...,
              version: Literal[1, 2] = ..., allow_truncated: bool = ...) -> Any: ...
def read_snapshot(path: _Path) -> dict[str, Any]: ...
def counters(dir: str = ...) -> list[dict[str, Any]]: ...
