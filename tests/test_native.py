# The native tests (tests/native), where a build folder has them: what the
# module cannot provoke.  CI builds and runs them on their own as well.
import pathlib
import subprocess

import pytest

import quillon_native

BUILD = pathlib.Path(quillon_native.__file__).parent


@pytest.mark.parametrize("name", ["portfolio_failures", "technique_proofs"])
def test_native(name):
    program = BUILD / name
    if not program.exists():
        pytest.skip("built only in build folders (tools/dev-build.sh)")
    p = subprocess.run([program], capture_output=True, text=True, timeout=60)
    assert p.returncode == 0, p.stdout + p.stderr
