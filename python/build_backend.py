"""pip's build of the driftsim package: the repository's CMake build of driftsim._core, then a
wheel written here.

    pip install ./python

The build needs no Python package, so pip builds it offline with any Python 3.9 or later
(Debian's, pyenv's, a venv's) and nothing to fetch. What it needs is checked first, and a
missing piece stops the build with one line that says what to run: CMake, a C++ compiler and
pybind11-dev from the system, and numpy in the Python that installs the package (Debian's
python3-numpy, seen by a venv made with --system-site-packages).
"""

import base64
import hashlib
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import zipfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent  # the repository: the module links the programs' own libraries
NAME = "driftsim"
DEBIAN = "sudo apt-get install cmake g++ pybind11-dev python3-numpy python3-venv"
VENV = ("/usr/bin/python3 -m venv --system-site-packages ~/venv && "
        "~/venv/bin/pip install ./python")


def version():
    match = re.search(r"^project\(driftsim VERSION (\S+)", (ROOT / "CMakeLists.txt").read_text(),
                      re.MULTILINE)
    if not match:
        raise RuntimeError("no version in CMakeLists.txt")
    return match.group(1)


def stop(line):
    """Ends the build with one line on what to do; pip shows it above its own report."""
    sys.stderr.write(f"\ndriftsim: {line}\n\n")
    sys.stderr.flush()
    raise SystemExit(1)


def target_has_numpy():
    """Whether the Python that installs the package can import numpy. pip's isolated build
    hides that Python's packages from this process, so a fresh interpreter looks."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONPATH", "PYTHONNOUSERSITE", "PYTHONHOME", "PYTHONSAFEPATH")}
    return subprocess.run([sys.executable, "-c", "import numpy"], env=env,
                          capture_output=True).returncode == 0


def check_tools():
    if shutil.which("cmake") is None or shutil.which(os.environ.get("CXX", "c++")) is None:
        stop(f"the build needs CMake and a C++ compiler; run: {DEBIAN}")
    if not Path("/usr/include/pybind11/pybind11.h").exists() and not os.environ.get(
            "pybind11_DIR"):
        stop(f"the build needs pybind11 for CMake; run: {DEBIAN}")
    if not target_has_numpy():
        stop(f"{sys.executable} has no numpy, and pip cannot fetch it offline; run Debian's "
             f"Python with Debian's numpy instead: {VENV}")
    include = sysconfig.get_paths().get("include", "")
    if not (Path(include) / "Python.h").exists():
        stop(f"{sys.executable} has no C headers ({include}/Python.h); use Debian's Python: {VENV}")


def build_core(directory):
    """Builds _core with CMake into its own build folder and returns the module's file."""
    build = Path(os.environ.get("DRIFTSIM_PYTHON_BUILD", ROOT / "build-python")).resolve()
    jobs = os.environ.get("JOBS", "2")
    subprocess.check_call(["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                           "-DDRIFTSIM_PYTHON=ON", f"-DPython_EXECUTABLE={sys.executable}"],
                          stdout=sys.stderr)
    subprocess.check_call(["cmake", "--build", str(build), "--target", "_core", "-j", jobs],
                          stdout=sys.stderr)
    suffix = sysconfig.get_config_var("EXT_SUFFIX") or ".so"
    built = build / "python" / f"_core{suffix}"
    if not built.exists():
        built = next((build / "python").glob("_core*.so"))
    return built


def wheel_tag():
    impl = sys.implementation.name
    short = {"cpython": "cp", "pypy": "pp"}.get(impl, impl)
    python = f"{short}{sys.version_info.major}{sys.version_info.minor}"
    abi = (sysconfig.get_config_var("SOABI") or "").split("-")[0] or "none"
    if impl == "cpython":
        abi = python + getattr(sys, "abiflags", "")
    platform = re.sub(r"[-.]", "_", sysconfig.get_platform())
    return f"{python}-{abi}-{platform}"


def record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    check_tools()
    core = build_core(wheel_directory)
    ver = version()
    info = f"{NAME}-{ver}.dist-info"
    files = {f"{NAME}/{p.name}": p.read_bytes() for p in sorted((HERE / NAME).iterdir())
             if p.suffix in (".py", ".pyi") or p.name == "py.typed"}
    files[f"{NAME}/{core.name}"] = core.read_bytes()
    files[f"{info}/METADATA"] = (
        f"Metadata-Version: 2.1\nName: {NAME}\nVersion: {ver}\n"
        "Summary: Temporal genetic samples of a Wright-Fisher population (driftsim's engine)\n"
        "Requires-Python: >=3.9\n").encode()
    files[f"{info}/WHEEL"] = (f"Wheel-Version: 1.0\nGenerator: driftsim build_backend\n"
                              f"Root-Is-Purelib: false\nTag: {wheel_tag()}\n").encode()
    wheel = f"{NAME}-{ver}-{wheel_tag()}.whl"
    record = [record_line(name, data) for name, data in files.items()] + [f"{info}/RECORD,,"]
    with zipfile.ZipFile(Path(wheel_directory) / wheel, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in files.items():
            z.writestr(name, data)
        z.writestr(f"{info}/RECORD", "\n".join(record) + "\n")
    return wheel


def get_requires_for_build_wheel(config_settings=None):
    return []


def build_sdist(sdist_directory, config_settings=None):
    stop("the module builds from the whole repository, not from a source archive of python/; "
         "run: pip install ./python")
