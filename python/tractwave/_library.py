"""Finding and loading the tractwave shared library with ctypes."""

import ctypes
import ctypes.util
import os
import sys
import threading

ENVIRONMENT_VARIABLE = "TRACTWAVE_LIBRARY"

_FLOAT_P = ctypes.POINTER(ctypes.c_float)
_INT = ctypes.c_int
_FLOAT = ctypes.c_float

# Argument types of the four exported functions, in header order.
_PROTOTYPES = {
    "compute_diameters_from_dofs": [_FLOAT_P] * 4,
    "step_waveguide_block": [_INT] + [_FLOAT] * 4 + [_FLOAT_P] * 2 + [_FLOAT] * 4
    + [_FLOAT_P] * 6 + [_FLOAT],
    "synthesize_waveguide_chunk": [_INT] + [_FLOAT_P] * 7,
    "synthesize_waveguide_chunk_ex": [_INT] + [_FLOAT_P] * 7 + [_FLOAT],
}


class LibraryNotFoundError(OSError):
    """The tractwave shared library could not be found or loaded."""


LibraryNotFoundError.__module__ = "tractwave"


def _file_names():
    """File names of the library on this platform, the versioned one first."""
    if sys.platform == "win32":
        return ["tractwave.dll", "libtractwave.dll"]
    if sys.platform == "darwin":
        return ["libtractwave.1.dylib", "libtractwave.dylib"]
    return ["libtractwave.so.1", "libtractwave.so"]


def _bind(handle, where):
    for name, argtypes in _PROTOTYPES.items():
        try:
            function = getattr(handle, name)
        except AttributeError:
            raise LibraryNotFoundError(
                f"{where} was loaded but does not export {name}; "
                "it is not a tractwave library") from None
        function.argtypes = argtypes
        function.restype = None
    return handle


def _open(path):
    # A bare file name is searched by the system loader (LD_LIBRARY_PATH,
    # rpath, the loader cache, PATH on Windows); a path with a directory is
    # opened as it is.
    return ctypes.CDLL(path)


def _candidates(package_dir):
    """(name or path, where it is looked for) in search order, lazily: the
    last search runs a compiler or ldconfig and is worth avoiding."""
    for name in _file_names():
        yield os.path.join(package_dir, name), ""
    for name in _file_names():
        yield name, " on the system library path"
    found = ctypes.util.find_library("tractwave")
    if found and found not in _file_names():
        yield found, " (found by ctypes.util.find_library)"


def find_and_load(package_dir, environ=os.environ):
    """Returns (handle, path) of the first library found.

    Order: the file named by TRACTWAVE_LIBRARY (and nothing else when it is
    set, so that a wrong setting is reported rather than silently replaced by
    another copy), then a copy next to the package, then the system's
    library search path.
    """
    tried = []
    explicit = environ.get(ENVIRONMENT_VARIABLE)
    if explicit:
        try:
            return _bind(_open(explicit), explicit), explicit
        except OSError as error:
            if isinstance(error, LibraryNotFoundError):
                raise
            raise LibraryNotFoundError(
                f"cannot load the tractwave library named by "
                f"{ENVIRONMENT_VARIABLE}={explicit}: {error}") from None

    for path, where in _candidates(package_dir):
        try:
            return _bind(_open(path), path), path
        except LibraryNotFoundError:
            raise
        except OSError as error:
            reason = str(error).replace(f"{path}: ", "", 1)
            tried.append(f"{path}{where} ({reason})")

    raise LibraryNotFoundError(
        "cannot find the tractwave shared library. Looked for:\n  "
        + "\n  ".join(tried)
        + f"\n{ENVIRONMENT_VARIABLE} is not set. Build the library (cmake), "
        f"then set {ENVIRONMENT_VARIABLE} to its path, copy it next to the "
        "package, or install it where the system loader finds it.")


_lock = threading.Lock()
_loaded = None


def pointer(array):
    """The address of a numpy array's data, as the prototypes take it."""
    return array.ctypes.data_as(_FLOAT_P)


def library():
    """The loaded library and where it came from, loading it on first use."""
    global _loaded
    with _lock:
        if _loaded is None:
            _loaded = find_and_load(os.path.dirname(os.path.abspath(__file__)))
        return _loaded
