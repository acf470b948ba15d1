"""The extension as a shared object, and the wheel installed beside the rest of veltrix (these need
VELTRIX_WHEEL, the path of a built wheel, which scripts/build-dist.sh sets, and a package index for pip)."""

import ast
import base64
import ctypes
import hashlib
import importlib.metadata
import inspect
import os
import subprocess
import sys
import zipfile

import pytest

from veltrix.core import veltrix_core as vc
from conftest import CLASSES, parameters

WHEEL = os.environ.get("VELTRIX_WHEEL")
needs_wheel = pytest.mark.skipif(not WHEEL, reason="VELTRIX_WHEEL names no wheel to install")


def exported_symbols(path):
    """The dynamic symbols a shared object defines (binutils comes with the compiler that built it)."""
    out = subprocess.run(["nm", "-D", "--defined-only", "--extern-only", path], capture_output=True, text=True, check=True)
    return {line.split()[-1] for line in out.stdout.splitlines()}


def test_exports_exactly_the_entry_points_of_its_interpreter():
    # The slot-array entry point comes with the ABI-information slot (Py_mod_abi), as in module.cpp; an interpreter
    # with that slot has PyABIInfo_Check (3.15, but not the early 3.15 snapshot of the free-threaded tests).
    modexport = hasattr(ctypes.pythonapi, "PyABIInfo_Check")
    wanted = {"PyInit_veltrix_core"} | ({"PyModExport_veltrix_core"} if modexport else set())
    assert exported_symbols(vc.__file__) == wanted
    assert {n for n in ("PyInit_veltrix_core", "PyModExport_veltrix_core") if hasattr(ctypes.CDLL(vc.__file__), n)} == wanted


def test_installed_metadata():
    """An installed module's version() is its distribution's, whose metadata claims this interpreter."""
    try:
        dist = importlib.metadata.distribution("veltrix-core")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("veltrix-core is not installed")
    if not any(os.path.samefile(dist.locate_file(f), vc.__file__) for f in dist.files if f.name.endswith(".so")):
        pytest.skip("veltrix.core is not the installed copy")
    meta = dist.metadata
    assert (vc.version(), meta["License-Expression"], meta["Requires-Python"]) == (meta["Version"], "MIT", ">=3.13")
    assert "Programming Language :: Python :: %d.%d" % sys.version_info[:2] in meta.get_all("Classifier")
    assert any(f.name == "LICENSE" for f in dist.files)


def stub_parameters(fn, skip):  # a stub's parameters as (name, kind, default), without self or cls
    a, empty, kinds = fn.args, inspect.Parameter.empty, inspect.Parameter
    defaults = [empty] * (len(a.args) - len(a.defaults)) + [ast.literal_eval(d) for d in a.defaults]
    keyword = [empty if d is None else ast.literal_eval(d) for d in a.kw_defaults]
    return [(x.arg, kinds.POSITIONAL_OR_KEYWORD, d) for x, d in zip(a.args, defaults)][skip:] + [
        (x.arg, kinds.KEYWORD_ONLY, d) for x, d in zip(a.kwonlyargs, keyword)]


def test_stubs_agree_with_the_module():
    tree = ast.parse(open(os.path.join(os.path.dirname(vc.__file__), "veltrix_core.pyi")).read())
    live = lambda obj: [(p.name, p.kind, p.default) for p in parameters(obj).parameters.values()]  # noqa: E731
    stubbed = {n.name: n for n in tree.body if isinstance(n, (ast.FunctionDef, ast.ClassDef))}
    assert (sorted(stubbed), stub_parameters(stubbed["version"], 0)) == (sorted(vc.__all__), live(vc.version))
    for cls in CLASSES:
        members = {n.name: n for n in stubbed[cls.__name__].body if isinstance(n, ast.FunctionDef)}
        assert {n for n in vars(cls) if not n.startswith("_")} | {"__new__"} <= set(members), cls
        for name, fn in members.items():
            held, decorators = vars(cls)[name], [d.id for d in fn.decorator_list]
            if isinstance(held, type(vc.PayloadDescriptor.kind)):  # an attribute
                assert decorators == ["property"], name
            else:
                static = "staticmethod" in decorators
                assert (name, isinstance(held, staticmethod), stub_parameters(fn, not static)) == (
                    name, static, live(cls if name == "__new__" else getattr(cls, name)))


def standin_wheel(directory):
    """A wheel of another distribution of veltrix, shipping veltrix/__init__.py (defining STANDIN) and other.py."""
    info, path = "veltrix_standin-1.0.dist-info", directory / "veltrix_standin-1.0-py3-none-any.whl"
    files = {"veltrix/__init__.py": b"STANDIN = True\n", "veltrix/other.py": b"NAME = 'other'\n",
             f"{info}/METADATA": b"Metadata-Version: 2.1\nName: veltrix-standin\nVersion: 1.0\n",
             f"{info}/WHEEL": b"Wheel-Version: 1.0\nGenerator: test\nRoot-Is-Purelib: true\nTag: py3-none-any\n"}
    files[f"{info}/RECORD"] = "".join(
        f"{name},sha256={base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b'=').decode()},{len(data)}\n"
        for name, data in files.items()).encode() + f"{info}/RECORD,,\n".encode()
    with zipfile.ZipFile(path, "w") as zf:
        for name, data in files.items():
            zf.writestr(name, data)
    return str(path)


def fresh_env(path):
    """A new virtual environment outside the checkout; returns a function running its Python."""
    subprocess.run([sys.executable, "-m", "venv", path], check=True)

    def python(*args, ok=True):
        proc = subprocess.run([path / "bin" / "python", "-I", *args], cwd=path, capture_output=True, text=True)
        assert proc.returncode == 0 or not ok, proc.stdout + proc.stderr
        return proc
    return python


@needs_wheel
def test_shares_the_veltrix_namespace_with_another_distribution(tmp_path):
    python, standin, pip = fresh_env(tmp_path / "env"), standin_wheel(tmp_path), ("-m", "pip", "-q")
    python(*pip, "install", "--no-index", standin)
    python(*pip, "install", "--no-index", "--no-deps", WHEEL)
    python("-c", "import veltrix, veltrix.other, veltrix.core.veltrix_core as vc; assert veltrix.STANDIN; vc.GraphStore()")
    python(*pip, "uninstall", "-y", "veltrix-standin")
    python("-c", "import veltrix.core.veltrix_core as vc; vc.GraphStore()")
    python(*pip, "install", "--no-index", standin)
    python(*pip, "uninstall", "-y", "veltrix-core")
    python("-c", "import veltrix, veltrix.other; assert veltrix.STANDIN")
    assert python("-c", "import veltrix.core", ok=False).returncode != 0


@needs_wheel
def test_type_checker_resolves_the_stubs(tmp_path):
    python = fresh_env(tmp_path / "env")
    python("-m", "pip", "install", "-q", "mypy", WHEEL)
    use = "from veltrix.core import veltrix_core as vc\ns = vc.GraphStore()\nn: int = s.add_op('neg', INPUTS, {'k': 1.5})\n"
    (tmp_path / "good.py").write_text(use.replace("INPUTS", "[s.add_source('x')]"))
    (tmp_path / "bad.py").write_text(use.replace("INPUTS", "'0'"))
    python("-m", "mypy", "--strict", "--no-incremental", "../good.py")
    bad = python("-m", "mypy", "--strict", "--no-incremental", "../bad.py", ok=False)
    assert bad.returncode == 1
    assert 'Argument 2 to "add_op" of "GraphStore" has incompatible type "str"' in bad.stdout
