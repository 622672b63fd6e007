"""Where the package looks for the shared libraries, run in fresh interpreters."""

import os
import shutil
import subprocess
import sys

import pytest

import tractwave as tw

PRINT_PATH = "import tractwave; print(tractwave.library_path())"
PRINT_VOICES_PATH = "import tractwave; print(tractwave.voices_library_path())"


def run_python(code, package_parent, **environment):
    env = {k: v for k, v in os.environ.items()
           if k not in ("TRACTWAVE_LIBRARY", "TRACTWAVE_VOICES_LIBRARY", "LD_LIBRARY_PATH",
                        "PYTHONPATH")}
    env.update(environment)
    env["PYTHONPATH"] = str(package_parent)
    # Run from the package's parent too: "-c" puts the working directory
    # first on the path, where a source checkout's package would be found.
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                          text=True, timeout=60, cwd=package_parent)


@pytest.fixture
def package_copy(tmp_path):
    """A copy of the package without any library next to it."""
    source = os.path.dirname(tw.__file__)
    shutil.copytree(source, tmp_path / "tractwave",
                    ignore=shutil.ignore_patterns("*.so*", "*.dylib", "*.dll", "__pycache__"))
    return tmp_path


@pytest.fixture
def built_library():
    return os.path.realpath(tw.library_path())


@pytest.fixture
def built_voices_library():
    return os.path.realpath(tw.voices_library_path())


def test_a_library_next_to_the_package_is_found(package_copy, built_library):
    target = package_copy / "tractwave" / "libtractwave.so.1"
    shutil.copy(built_library, target)
    result = run_python(PRINT_PATH, package_copy)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == str(target)


def test_the_environment_variable_comes_first(package_copy, built_library, tmp_path):
    shutil.copy(built_library, package_copy / "tractwave" / "libtractwave.so.1")
    elsewhere = tmp_path / "elsewhere" / "libtractwave.so.1"
    elsewhere.parent.mkdir()
    shutil.copy(built_library, elsewhere)
    result = run_python(PRINT_PATH, package_copy, TRACTWAVE_LIBRARY=str(elsewhere))
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == str(elsewhere)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="LD_LIBRARY_PATH is Linux's")
def test_the_system_library_path_is_searched(package_copy, built_library, tmp_path):
    directory = tmp_path / "lib"
    directory.mkdir()
    shutil.copy(built_library, directory / "libtractwave.so.1")
    result = run_python(PRINT_PATH + "; print(tractwave.diameters([0.5] * 10)[2])",
                        package_copy, LD_LIBRARY_PATH=str(directory))
    assert result.returncode == 0, result.stderr
    path, velum = result.stdout.split()
    assert path == "libtractwave.so.1"
    assert float(velum) == pytest.approx(0.55 * 0.5)


def test_a_wrong_environment_variable_is_reported_not_replaced(package_copy, built_library,
                                                               tmp_path):
    # A copy next to the package must not stand in for the one asked for.
    shutil.copy(built_library, package_copy / "tractwave" / "libtractwave.so.1")
    missing = tmp_path / "nowhere" / "libtractwave.so.1"
    result = run_python("import tractwave; tractwave.diameters([0.5] * 10)",
                        package_copy, TRACTWAVE_LIBRARY=str(missing))
    assert result.returncode != 0
    assert "LibraryNotFoundError" in result.stderr
    assert f"TRACTWAVE_LIBRARY={missing}" in result.stderr


def test_the_voices_library_is_found_beside_the_other_or_by_its_own_variable(
        package_copy, built_library, built_voices_library, tmp_path):
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    shutil.copy(built_library, elsewhere / "libtractwave.so.1")
    shutil.copy(built_voices_library, elsewhere / "libtractwave_voices.so.1")
    shutil.copy(built_voices_library, package_copy / "tractwave" / "libtractwave_voices.so.1")
    # TRACTWAVE_LIBRARY alone points at both.
    result = run_python(PRINT_VOICES_PATH + "; print(tractwave.Voice().render([0.5] * 10, 64)[30])",
                        package_copy, TRACTWAVE_LIBRARY=str(elsewhere / "libtractwave.so.1"))
    assert result.returncode == 0, result.stderr
    path, sample = result.stdout.split()
    assert path == str(elsewhere / "libtractwave_voices.so.1")
    assert float(sample) != 0.0
    # Without it, the copy next to the package; with its own variable, that.
    result = run_python(PRINT_VOICES_PATH, package_copy)
    assert result.stdout.strip() == str(package_copy / "tractwave" / "libtractwave_voices.so.1")
    missing = tmp_path / "nowhere" / "libtractwave_voices.so.1"
    result = run_python("import tractwave; tractwave.Voice()", package_copy,
                        TRACTWAVE_VOICES_LIBRARY=str(missing))
    assert result.returncode != 0
    assert f"TRACTWAVE_VOICES_LIBRARY={missing}" in result.stderr


def test_a_library_without_the_functions_is_refused(package_copy, tmp_path):
    # Any shared library that is not tractwave: the C library will do.
    import ctypes.util
    libc = ctypes.util.find_library("c")
    if libc is None:
        pytest.skip("no C library name to load")
    result = run_python(PRINT_PATH, package_copy, TRACTWAVE_LIBRARY=libc)
    assert result.returncode != 0
    assert "does not export compute_diameters_from_dofs" in result.stderr
    result = run_python(PRINT_VOICES_PATH, package_copy, TRACTWAVE_VOICES_LIBRARY=libc)
    assert result.returncode != 0
    assert "does not export tractwave_voice_size" in result.stderr


def test_the_error_lists_where_it_looked(package_copy):
    result = run_python(PRINT_PATH, package_copy)
    if result.returncode == 0:
        pytest.skip(f"a tractwave library is installed on this system: {result.stdout}")
    assert "LibraryNotFoundError: cannot find the tractwave shared library" in result.stderr
    assert str(package_copy / "tractwave") in result.stderr
    assert "on the system library path" in result.stderr
    assert "TRACTWAVE_LIBRARY is not set" in result.stderr


def test_importing_needs_no_library(package_copy):
    result = run_python("import tractwave; print(tractwave.PARAMETER_NAMES[0])", package_copy,
                        TRACTWAVE_LIBRARY="/nonexistent/libtractwave.so.1")
    assert result.returncode == 0 and result.stdout.strip() == "pitch", result.stderr


def test_the_package_modules_import_each_other_without_a_loop():
    # A module that imports from the package's __init__, which imports it in
    # turn, works only in one import order, and only while __init__ imports
    # it last. The modules form layers: each imports only ones below it.
    import ast
    import pathlib

    package = pathlib.Path(tw.__file__).parent
    imports = {}
    for path in package.glob("*.py"):
        tree = ast.parse(path.read_text(encoding="utf-8"))
        imports[path.stem] = {node.module or "__init__" for node in ast.walk(tree)
                              if isinstance(node, ast.ImportFrom) and node.level == 1}
    assert {"__init__", "_score"} <= set(imports)
    done = set()
    while len(done) < len(imports):
        ready = {m for m, needs in imports.items() if m not in done and needs <= done}
        assert ready, f"import loop among {sorted(set(imports) - done)}: {imports}"
        done |= ready
