import atexit
import os
import shutil
import sys
import tempfile

from hypothesis import HealthCheck, settings

# Children started by commands run in this process from other folders find
# the build too.
os.environ["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep)
                                           if p)

try:
    import quillon_native_cli  # noqa: F401  (installed with the wheel)
except ImportError:  # a build folder: the command-line package comes from the checkout, for subprocesses too
    _cli = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python")
    sys.path.insert(0, _cli)
    os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [_cli, os.environ.get("PYTHONPATH")]))
    import quillon_native
    import quillon_native_cli
    # The command line's native module (_scan) is built beside quillon_native:
    # this process and every Python subprocess (through a sitecustomize on
    # their path) look for it there too.
    quillon_native_cli.__path__.append(os.path.dirname(quillon_native.__file__))
    _shim = tempfile.mkdtemp(prefix="quillon-tests-")
    atexit.register(shutil.rmtree, _shim, True)
    with open(os.path.join(_shim, "sitecustomize.py"), "w") as f:
        f.write("import os, quillon_native, quillon_native_cli\n"
                "quillon_native_cli.__path__.append(os.path.dirname(quillon_native.__file__))\n")
    os.environ["PYTHONPATH"] = os.pathsep.join([_shim, os.environ["PYTHONPATH"]])

# The normal suite keeps property tests small; `--slow` (or QUILLON_SLOW=1)
# runs many more examples, and under the sanitizers (QUILLON_SANITIZED=1)
# everything runs several times slower.
for name, n in (("default", 100), ("slow", 2000), ("sanitized", 30)):
    settings.register_profile(name, max_examples=n, deadline=None, suppress_health_check=[HealthCheck.too_slow])


def pytest_addoption(parser):
    parser.addoption("--slow", action="store_true", default=False, help="run many more property examples")


def pytest_configure(config):
    slow = config.getoption("--slow") or os.environ.get("QUILLON_SLOW")
    settings.load_profile("slow" if slow else "sanitized" if os.environ.get("QUILLON_SANITIZED") else "default")
