"""Compiles the plain-Python twins (bench/twins/*.py) with Cython into the
package `cytwins` under OUT/lib, for the benchmark only.  Runs with the build
tools' interpreter, which has Cython; rebuilds only when a twin, Cython or the
interpreter changed.

    python bench/build_twins.py OUT
"""

import hashlib
import pathlib
import shutil
import sys

HERE = pathlib.Path(__file__).resolve().parent
TWINS = HERE / "twins"
MODULES = ["tilwick", "brenmoor", "quastel", "ferrowen", "hallorn"]
PACKAGE = "cytwins"


def digest():
    import Cython

    h = hashlib.sha256(f"{Cython.__version__} {sys.version}".encode())
    for path in sorted(TWINS.glob("*.py")):
        h.update(path.name.encode() + b"\0" + path.read_bytes())
    return h.hexdigest()


def main(out):
    out = pathlib.Path(out).resolve()
    stamp = out / ".digest"
    want = digest()
    if stamp.exists() and stamp.read_text() == want:
        return 0
    print(f"bench: compiling the Python twins with Cython into {out}", file=sys.stderr)
    from Cython.Build import cythonize
    from setuptools import Distribution, Extension

    shutil.rmtree(out, ignore_errors=True)
    src, lib = out / "src" / PACKAGE, out / "lib" / PACKAGE
    src.mkdir(parents=True)
    lib.mkdir(parents=True)
    # the package itself stays plain Python, as it is no twin
    for path in TWINS.glob("*.py"):
        shutil.copy(path, src / path.name)
    shutil.copy(TWINS / "__init__.py", lib / "__init__.py")
    extensions = cythonize(
        [Extension(f"{PACKAGE}.{m}", [str(src / f"{m}.py")]) for m in MODULES],
        quiet=True,
        nthreads=2,
    )
    dist = Distribution({"ext_modules": extensions, "script_name": "build_twins.py"})
    build = dist.get_command_obj("build_ext")
    build.build_lib = str(out / "lib")
    build.build_temp = str(out / "tmp")
    build.parallel = 2
    dist.run_command("build_ext")
    stamp.write_text(want)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
