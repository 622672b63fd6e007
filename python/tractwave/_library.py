"""Finding and loading the tractwave shared libraries with ctypes.

The libraries are looked for the same way: tractwave (the four functions),
tractwave_voices (voices in memory the caller owns) and, from _speech,
tractwave_speech.
"""

import ctypes
import ctypes.util
import os
import sys
import threading

ENVIRONMENT_VARIABLE = "TRACTWAVE_LIBRARY"
VOICES_ENVIRONMENT_VARIABLE = "TRACTWAVE_VOICES_LIBRARY"

_FLOAT_P = ctypes.POINTER(ctypes.c_float)
_INT = ctypes.c_int
_FLOAT = ctypes.c_float

_VOID_P = ctypes.c_void_p

# Argument types of the four exported functions, in header order.
_PROTOTYPES = {
    "compute_diameters_from_dofs": [_FLOAT_P] * 4,
    "step_waveguide_block": [_INT] + [_FLOAT] * 4 + [_FLOAT_P] * 2 + [_FLOAT] * 4
    + [_FLOAT_P] * 6 + [_FLOAT],
    "synthesize_waveguide_chunk": [_INT] + [_FLOAT_P] * 7,
    "synthesize_waveguide_chunk_ex": [_INT] + [_FLOAT_P] * 7 + [_FLOAT],
}

# The voices library's, and the two that return an int.
_VOICES_PROTOTYPES = {
    "tractwave_voice_size": [],
    "tractwave_voice_alignment": [],
    "tractwave_voice_init": [_VOID_P],
    "tractwave_voice_render": [_VOID_P, _INT, _FLOAT_P, _FLOAT_P, _FLOAT],
    "tractwave_voice_render_geometry": [_VOID_P, _INT] + [_FLOAT] * 4
    + [_FLOAT_P] * 2 + [_FLOAT] * 4 + [_FLOAT_P, _FLOAT],
    "tractwave_voices_render": [ctypes.POINTER(_VOID_P), _INT, _INT, _FLOAT_P,
                                _FLOAT_P, _FLOAT],
}


class Kind:
    """One of the libraries: its file names' stem, its environment variable,
    its functions' argument types and the result types of those that return
    something, and the library it needs loaded first (found in the same
    folder, where the system loader would not look)."""

    def __init__(self, stem, variable, prototypes, results=None, needs=None):
        self.stem = stem
        self.variable = variable
        self.prototypes = prototypes
        self.results = results or {}
        self.needs = needs


CORE = Kind("tractwave", ENVIRONMENT_VARIABLE, _PROTOTYPES)
VOICES = Kind("tractwave_voices", VOICES_ENVIRONMENT_VARIABLE, _VOICES_PROTOTYPES,
              results={"tractwave_voice_size": _INT, "tractwave_voice_alignment": _INT})


class LibraryNotFoundError(OSError):
    """The tractwave shared library could not be found or loaded."""


LibraryNotFoundError.__module__ = "tractwave"


def _file_names(kind=CORE):
    """File names of the library on this platform, the versioned one first."""
    stem = kind.stem
    if sys.platform == "win32":
        return [f"{stem}.dll", f"lib{stem}.dll"]
    if sys.platform == "darwin":
        return [f"lib{stem}.1.dylib", f"lib{stem}.dylib"]
    return [f"lib{stem}.so.1", f"lib{stem}.so"]


def _bind(handle, where, kind=CORE):
    for name, argtypes in kind.prototypes.items():
        try:
            function = getattr(handle, name)
        except AttributeError:
            raise LibraryNotFoundError(
                f"{where} was loaded but does not export {name}; "
                f"it is not a {kind.stem} library") from None
        function.argtypes = argtypes
        function.restype = kind.results.get(name)
    return handle


def _open(path, kind=CORE):
    # A bare file name is searched by the system loader (LD_LIBRARY_PATH,
    # rpath, the loader cache, PATH on Windows); a path with a directory is
    # opened as it is, after the library it needs from the same folder.
    folder = os.path.dirname(path)
    if kind.needs is not None and folder:
        for name in _file_names(kind.needs):
            if os.path.exists(os.path.join(folder, name)):
                ctypes.CDLL(os.path.join(folder, name), mode=getattr(ctypes, "RTLD_GLOBAL", 0))
                break
    return ctypes.CDLL(path)


def _candidates(package_dir, kind=CORE, environ=os.environ):
    """(name or path, where it is looked for) in search order, lazily: the
    last search runs a compiler or ldconfig and is worth avoiding."""
    # The other libraries are usually built and installed beside the first:
    # TRACTWAVE_LIBRARY alone points at them all.
    if kind is not CORE and environ.get(ENVIRONMENT_VARIABLE):
        beside = os.path.dirname(environ[ENVIRONMENT_VARIABLE])
        for name in _file_names(kind):
            yield os.path.join(beside, name), f" (beside {ENVIRONMENT_VARIABLE})"
    for name in _file_names(kind):
        yield os.path.join(package_dir, name), ""
    for name in _file_names(kind):
        yield name, " on the system library path"
    found = ctypes.util.find_library(kind.stem)
    if found and found not in _file_names(kind):
        yield found, " (found by ctypes.util.find_library)"


def find_and_load(package_dir, environ=os.environ, kind=CORE):
    """Returns (handle, path) of the first library found.

    Order: the file named by the library's environment variable
    (TRACTWAVE_LIBRARY, TRACTWAVE_VOICES_LIBRARY; nothing else when it is
    set, so that a wrong setting is reported rather than silently replaced by
    another copy), then, for the other libraries, a copy beside the file
    TRACTWAVE_LIBRARY names, then a copy next to the package, then the
    system's library search path.
    """
    tried = []
    explicit = environ.get(kind.variable)
    if explicit:
        try:
            return _bind(_open(explicit, kind), explicit, kind), explicit
        except OSError as error:
            if isinstance(error, LibraryNotFoundError):
                raise
            raise LibraryNotFoundError(
                f"cannot load the {kind.stem} library named by "
                f"{kind.variable}={explicit}: {error}") from None

    for path, where in _candidates(package_dir, kind, environ):
        try:
            return _bind(_open(path, kind), path, kind), path
        except LibraryNotFoundError:
            raise
        except OSError as error:
            reason = str(error).replace(f"{path}: ", "", 1)
            tried.append(f"{path}{where} ({reason})")

    raise LibraryNotFoundError(
        f"cannot find the {kind.stem} shared library. Looked for:\n  "
        + "\n  ".join(tried)
        + f"\n{kind.variable} is not set. Build the library (cmake), "
        f"then set {kind.variable} to its path, copy it next to the "
        "package, or install it where the system loader finds it.")


_lock = threading.Lock()
_loaded = {}


def pointer(array):
    """The address of a numpy array's data, as the prototypes take it."""
    return array.ctypes.data_as(_FLOAT_P)


def library(kind=CORE):
    """The loaded library and where it came from, loading it on first use."""
    with _lock:
        if kind.stem not in _loaded:
            _loaded[kind.stem] = find_and_load(
                os.path.dirname(os.path.abspath(__file__)), kind=kind)
        return _loaded[kind.stem]


def voices_library():
    """The loaded voices library and where it came from."""
    return library(VOICES)
