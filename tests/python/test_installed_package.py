"""The package as pip installs it: its library inside it, found from any folder with no
environment variable, and a wheel that carries it."""
import glob
import os
import subprocess
import sys
import zipfile

import pytest

pytestmark = pytest.mark.skipif(not os.environ.get("QUORVEX_INSTALLED"),
                                reason="QUORVEX_INSTALLED not set (see make test-python-package)")
SOURCE = os.path.realpath(os.path.join(os.path.dirname(__file__), "..", ".."))


def test_import_works_from_any_folder_without_environment(tmp_path):
    env = {k: v for k, v in os.environ.items()
           if k not in ("QUORVEX_LIBRARY", "QUORVEX_EXT_LIBRARY", "PYTHONPATH", "LD_LIBRARY_PATH")}
    code = ("import os, quorvex\n"
            "r = quorvex.discover([[float(i)] for i in range(20)], [2.0 * i for i in range(20)],\n"
            "                     generations=2, population=10)\n"
            "print(os.path.realpath(quorvex.__file__))\n"
            "print(os.path.realpath(quorvex.library_path()))\n"
            "import importlib.metadata as m\n"
            "assert quorvex.__version__ == m.version('quorvex'), quorvex.__version__\n")
    result = subprocess.run([sys.executable, "-c", code], env=env, cwd=tmp_path,
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    package_file, library = result.stdout.split()
    package = os.path.dirname(package_file)
    assert package != os.path.join(SOURCE, "bindings", "python", "quorvex")  # the installed copy
    assert os.sep + "site-packages" + os.sep in package_file
    assert library == os.path.join(package, "libquorvex_ext.so.0")


def test_wheel_carries_the_libraries_and_is_platform_tagged():
    folder = os.environ.get("QUORVEX_WHEEL_DIR")
    wheels = glob.glob(os.path.join(folder or "", "quorvex-*.whl"))
    if not folder or not wheels:
        pytest.skip("no wheel built (QUORVEX_WHEEL_DIR)")
    assert len(wheels) == 1
    name = os.path.basename(wheels[0])
    assert not name.endswith("-none-any.whl"), name  # native code: not a pure wheel
    with zipfile.ZipFile(wheels[0]) as wheel:
        members = wheel.namelist()
    # The package loads the extended library alone.
    assert "quorvex/libquorvex_ext.so.0" in members and "quorvex/libquorvex.so.0" not in members
    assert "quorvex/__init__.py" in members
