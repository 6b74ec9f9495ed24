"""Build and install quenlory with pip: `pip install --no-build-isolation .` or `pip wheel --no-build-isolation .`.

The extension is compiled from the same sources as the CMake build (src/model_decorator/*.cpp, C++17, symbols hidden,
no C++ exceptions or RTTI). The CMake build stays the one the test suite runs against; this file is for users
who install the package into an interpreter that has setuptools.
"""
import glob
import os
import re

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCES = "src/model_decorator"


def read(path):
    with open(os.path.join(HERE, path), encoding="utf-8") as handle:
        return handle.read()


def version():
    match = re.search(r'^__version__ = "([^"]+)"', read("quenlory/__init__.py"), re.M)
    if match is None:
        raise RuntimeError("quenlory/__init__.py has no __version__")
    return match.group(1)


def relative_glob(pattern):
    # setuptools wants paths relative to this file, whatever directory pip runs it from.
    return sorted(os.path.relpath(path, HERE) for path in glob.glob(os.path.join(HERE, pattern)))


class BuildExt(build_ext):
    """Leave out the C-only warning flags that the interpreter's own build passes to every compiler call."""

    C_ONLY = ("-Wstrict-prototypes", "-Wmissing-prototypes", "-std=c99", "-std=c11")

    def build_extensions(self):
        compiler = self.compiler
        for attr in ("compiler", "compiler_so", "compiler_cxx"):
            command = getattr(compiler, attr, None)
            if command:
                setattr(compiler, attr, [arg for arg in command if arg not in self.C_ONLY])
        super().build_extensions()


extension = Extension(
    "quenlory.model_decorator",
    sources=relative_glob(SOURCES + "/*.cpp"),
    depends=relative_glob(SOURCES + "/*.hpp"),
    language="c++",  # links with the C++ driver, so libstdc++ comes along
    extra_compile_args=["-std=c++17", "-O2", "-g0", "-fvisibility=hidden", "-fno-exceptions", "-fno-rtti"],
)

# setuptools' scratch folders go under build/ beside the CMake build folders, not into the source tree.
SCRATCH = os.path.join("build", "setuptools")
os.makedirs(os.path.join(HERE, SCRATCH), exist_ok=True)

setup(
    name="quenlory",
    version=version(),
    description="Dict-backed data models with a native CPython core",
    long_description=read("README.md"),
    long_description_content_type="text/markdown",
    packages=["quenlory", "quenlory.fields"],
    package_data={"quenlory": ["py.typed", "*.pyi"], "quenlory.fields": ["*.pyi"]},
    ext_modules=[extension],
    cmdclass={"build_ext": BuildExt},
    options={"build": {"build_base": SCRATCH}, "egg_info": {"egg_base": SCRATCH}},
    python_requires=">=3.9",
    zip_safe=False,
    classifiers=[
        "Programming Language :: C++",
        "Programming Language :: Python :: 3",
        "Programming Language :: Python :: 3 :: Only",
        "Programming Language :: Python :: 3.9",
        "Programming Language :: Python :: 3.10",
        "Programming Language :: Python :: 3.11",
        "Programming Language :: Python :: 3.12",
        "Programming Language :: Python :: 3.13",
        "Programming Language :: Python :: Implementation :: CPython",
        "Typing :: Typed",
    ],
)
