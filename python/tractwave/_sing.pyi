# Type hints of the singing functions (the module itself stays unannotated).
import os
from typing import List, Literal, Optional, Sequence, Tuple, Union

import numpy as np

SING_ENVIRONMENT_VARIABLE: str

def note_hz(note: float) -> float: ...
def syllables(arpabet: str) -> List[str]: ...
def sing(notes: Union[Sequence[Tuple[float, float, float, str]], str, os.PathLike],
         *, voice: Literal["male", "female", "child"] = ..., sample_rate: int = ...,
         vibrato: Optional[Tuple[float, float, float]] = ..., portamento: float = ...,
         dictionary: Optional[str] = ...) -> np.ndarray: ...
