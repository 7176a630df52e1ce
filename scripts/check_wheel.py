"""Checks one built wheel against the platform tag it is meant to carry.

    python scripts/check_wheel.py WHEEL TAG      (TAG: manylinux_2_17_x86_64, musllinux_1_2_x86_64, ...)

What it holds: the extension module (named for its interpreter, or a plain
.so on musl), the stubs, the zorvat-columnarize executable, the license and
the notices, and nothing else at the top level and no Python code. Then every
ELF file in it is read against the policy's own tables in auditwheel: its
architecture, the libraries it needs (allowed by the policy or carried in the
wheel) and the symbol versions it asks of them. auditwheel examines every ELF
file too, but only says so through its verdict; this does not rely on it.
Prints one line per ELF file with the newest glibc version it needs.
"""

import io
import json
import re
import sys
import zipfile
from importlib import resources

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile
from elftools.elf.gnuversions import GNUVerNeedSection

MACHINES = {"x86_64": "EM_X86_64", "aarch64": "EM_AARCH64"}
# Every wheel built with Zig carries its C++ runtime; musl only the musllinux
# command, linked statically.
NOTICES = ("LICENSE", "packaging/licenses/libcxx-LICENSE.txt", "packaging/licenses/libcxxabi-LICENSE.txt",
           "packaging/licenses/libunwind-LICENSE.txt", "packaging/licenses/zig-compiler-rt-LICENSE.txt")
MUSL_NOTICE = "packaging/licenses/musl-COPYRIGHT.txt"


def main(wheel, tag):
    family, name, arch = re.fullmatch(r"((manylinux|musllinux)_\d+_\d+)_(\w+)", tag).group(2, 1, 3)
    policies = json.loads((resources.files("auditwheel.policy") / f"{family}-policy.json").read_text())
    policy = next(p for p in policies if p["name"] == name)
    libraries, versions = set(policy["lib_whitelist"]), policy["symbol_versions"].get(arch, {})
    if family == "musllinux":
        # musl-based systems know the C library by this name (auditwheel reads it so too).
        libraries = (libraries - {"libc.so"}) | {f"libc.musl-{arch}.so.1"}
    problems = []

    with zipfile.ZipFile(wheel) as whl:
        names = whl.namelist()
        # The ABI tag: cp313, or cp313t for a free-threaded build.
        py = re.search(r"-cp\d+-cp(\d)(\d+t?)-", wheel)
        suffix = r"\.so" if family == "musllinux" else rf"\.cpython-{py[1]}{py[2]}-{arch}-linux-gnu\.so"
        if not any(re.fullmatch(r"zorvat_codec" + suffix, n) for n in names):
            problems.append(f"no module zorvat_codec{suffix.replace(chr(92), '')} at the top level")
        for stub in ("zorvat_codec.pyi", "zorvat_codec-stubs/__init__.pyi"):
            if stub not in names:
                problems.append(f"lacks {stub}")
        problems += [f"unexpected top-level file {n}" for n in names if "/" not in n and not n.startswith("zorvat_codec.")]
        problems += [f"holds Python code: {n}" for n in names if n.endswith((".py", ".pyc"))]
        licenses = {n.split(".dist-info/licenses/", 1)[1] for n in names if ".dist-info/licenses/" in n}
        expected = {*NOTICES, MUSL_NOTICE} if family == "musllinux" else set(NOTICES)
        problems += [f"lacks the notice {n}" for n in sorted(expected - licenses)]
        problems += [f"carries the notice {n} of code it does not hold" for n in sorted(licenses - expected)]

        carried = {n.rsplit("/", 1)[1] for n in names if re.fullmatch(r"[^/]+\.libs/[^/]+", n)}
        checked = []
        for member in names:
            data = whl.read(member)
            if not data.startswith(b"\x7fELF"):
                continue
            checked.append(member)
            elf = ELFFile(io.BytesIO(data))
            if elf["e_machine"] != MACHINES[arch]:
                problems.append(f"{member} is built for {elf['e_machine']}, not {arch}")
            glibc = []
            for section in elf.iter_sections():
                if isinstance(section, DynamicSection):
                    for needed in (t.needed for t in section.iter_tags("DT_NEEDED")):
                        # The dynamic loader is the interpreter itself, outside the list.
                        if needed not in libraries and needed not in carried and not needed.startswith("ld-"):
                            problems.append(f"{member} needs {needed}, outside {tag}")
                elif isinstance(section, GNUVerNeedSection):
                    for needed, aux in section.iter_versions():
                        for version in (a.name for a in aux):
                            prefix, _, number = version.partition("_")
                            if prefix in versions and number not in versions[prefix]:
                                problems.append(f"{member} needs {version} of {needed.name}, outside {tag}")
                            if prefix == "GLIBC" and re.fullmatch(r"[\d.]+", number):
                                glibc.append(tuple(map(int, number.split("."))))
            needs = f"glibc {'.'.join(map(str, max(glibc)))} or later" if glibc else "no versioned glibc symbol"
            print(f"-- {member}: {elf['e_machine']}, {needs}")
    for kind, pattern in (("extension module", r"zorvat_codec\..*so"),
                          ("executable", r"(.*/scripts|zorvat_codec\.scripts)/zorvat-columnarize")):
        if not any(re.fullmatch(pattern, m) for m in checked):
            problems.append(f"no ELF {kind} found")

    for p in problems:
        print(f"check_wheel: {wheel.rsplit('/', 1)[-1]}: {p}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
