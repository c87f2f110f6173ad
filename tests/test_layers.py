# The C++ layers see only the layers below them.  The build holds this with
# one include folder per layer; this reads every include line against the
# same table (CMakeLists.txt), so that a path the include folders cannot
# stop ("../solver/solver.hpp") fails too.
import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
SRC = ROOT / "src"
CPYTHON = {"pyglue", "binding", "cli"}  # the only layers that may include Python.h


def layers():
    text = (ROOT / "CMakeLists.txt").read_text()
    table = {m[1]: m[2].split() for m in re.finditer(r"set\(QN_LAYERS_(\w+) ([\w ]+)\)", text)}
    assert table and all(name == seen[0] for name, seen in table.items())
    return table


def includes(layer):
    for path in sorted((SRC / layer).glob("*.[ch]pp")):
        for n, line in enumerate(path.read_text().splitlines(), 1):
            m = re.match(r'\s*#\s*include\s*([<"])([^>"]+)[>"]', line)
            if m:
                yield f"{path.relative_to(ROOT)}:{n}", m[1] == "<", m[2]


def test_every_source_folder_is_a_layer():
    assert {p.name for p in SRC.iterdir() if p.is_dir()} == set(layers())


@pytest.mark.parametrize("layer", sorted(layers()))
def test_layer_includes_only_what_it_may_see(layer):
    allowed = layers()[layer]
    wrong = []
    for where, system, name in includes(layer):
        if system:
            if name == "Python.h" and layer not in CPYTHON:
                wrong.append(f"{where}: {name}")
            continue
        parts = name.split("/")
        if ".." in parts or len(parts) != 2 or parts[0] not in allowed or not (SRC / name).is_file():
            wrong.append(f"{where}: {name}")
    assert not wrong, f"{layer} may include {allowed} only"
