# Type hints of the speech functions (the module itself stays unannotated).
from typing import Dict, Literal, Optional, Tuple, Union, overload

import numpy as np

DEFAULT_DICTIONARY: str
SPEECH_ENVIRONMENT_VARIABLE: str

class SpeechError(ValueError): ...

def speech_library_path() -> str: ...
def ipa_to_arpabet(ipa: str) -> str: ...
def transcribe(text: str, *, dictionary: Optional[str] = ..., espeak: bool = ...) -> str: ...
@overload
def say(text: Optional[str] = ..., *, phonemes: Optional[str] = ..., ipa: Optional[str] = ...,
        voice: Literal["male", "female", "child"] = ..., speed: float = ..., pitch: float = ...,
        sample_rate: int = ..., dictionary: Optional[str] = ..., espeak: bool = ...,
        trace: Literal[False] = ...) -> np.ndarray: ...
@overload
def say(text: Optional[str] = ..., *, phonemes: Optional[str] = ..., ipa: Optional[str] = ...,
        voice: Literal["male", "female", "child"] = ..., speed: float = ..., pitch: float = ...,
        sample_rate: int = ..., dictionary: Optional[str] = ..., espeak: bool = ...,
        trace: Literal[True]) -> Tuple[np.ndarray, Dict[str, np.ndarray]]: ...
