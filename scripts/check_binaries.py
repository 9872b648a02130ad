"""Checks a built module and the SDK library beside it, without loading either: machine, run
path, the module's entry point, what each needs from outside, and the newest glibc symbol
version each asks for. Exits non-zero on a wrong result.

usage: check_binaries.py --machine aarch64 DIR   (DIR holds _ostrel.*.so and libostrel.so)
"""

import argparse
import glob
import os
import re
import sys

from elftools.elf.elffile import ELFFile
from elftools.elf.gnuversions import GNUVerNeedSection, GNUVerSymSection

MACHINES = {"aarch64": "EM_AARCH64", "x86_64": "EM_X86_64"}
RUNPATH = "$ORIGIN:$ORIGIN/../ostrel.libs"
# What the module and the SDK may take from the system: the C and C++ runtimes.
RUNTIMES = r"libc\.so\.6|libm\.so\.6|libstdc\+\+\.so\.6|libgcc_s\.so\.1|ld-linux-[\w-]+\.so\.\d"
SYSTEM = re.compile(f"({RUNTIMES})$")
SDK_SYSTEM = re.compile(f"({RUNTIMES}|libz\\.so\\.1)$")  # the loopback SDK compresses its logs
INTERPRETER = re.compile(r"_?Py")


class Elf:
    def __init__(self, path):
        self.path = path
        self.file = open(path, "rb")
        self.elf = ELFFile(self.file)
        dynamic = self.elf.get_section_by_name(".dynamic")
        self.tags = {}
        for tag in dynamic.iter_tags():
            self.tags.setdefault(tag.entry.d_tag, []).append(tag)
        self.needed = [t.needed for t in self.tags.get("DT_NEEDED", [])]
        # Version index -> (library, version) for the versions this file asks for.
        self.wanted = {}
        versym = None
        for section in self.elf.iter_sections():
            if isinstance(section, GNUVerNeedSection):
                for need, auxes in section.iter_versions():
                    for aux in auxes:
                        self.wanted[aux["vna_other"]] = (need.name, aux.name)
            elif isinstance(section, GNUVerSymSection):
                versym = section
        self.defined, self.undefined = set(), []
        for i, sym in enumerate(self.elf.get_section_by_name(".dynsym").iter_symbols()):
            if not sym.name:
                continue
            if sym["st_shndx"] == "SHN_UNDEF":
                index = versym.get_symbol(i)["ndx"] if versym else 1
                self.undefined.append((sym, self.wanted.get(index)))
            elif sym["st_info"]["bind"] in ("STB_GLOBAL", "STB_WEAK"):
                self.defined.add(sym.name)

    def glibc(self):
        versions = [v for lib, v in self.wanted.values() if v.startswith("GLIBC_2.")]
        return max(versions, key=lambda v: tuple(int(x) for x in v[6:].split(".")), default="none")


def check(module_dir, machine):
    faults = []
    modules = glob.glob(os.path.join(module_dir, "_ostrel.*.so"))
    if len(modules) != 1:
        return [f"{module_dir}: expected one _ostrel.*.so, found {modules}"]
    module, sdk = Elf(modules[0]), Elf(os.path.join(module_dir, "libostrel.so"))
    suffix = f".cpython-38-{machine}-linux-gnu.so"
    if not module.path.endswith(suffix):
        faults.append(f"{module.path}: extension suffix is not {suffix}")
    for f in (module, sdk):
        if f.elf["e_machine"] != MACHINES[machine]:
            faults.append(f"{f.path}: machine {f.elf['e_machine']}, not {machine}")

    runpaths = [t.runpath for t in module.tags.get("DT_RUNPATH", [])]
    if runpaths != [RUNPATH] or "DT_RPATH" in module.tags:
        rpaths = [t.rpath for t in module.tags.get("DT_RPATH", [])]
        faults.append(f"{module.path}: RUNPATH {runpaths}, RPATH {rpaths}; expected RUNPATH {RUNPATH} only")
    entry = [s for s in module.elf.get_section_by_name(".dynsym").iter_symbols() if s.name == "PyInit__ostrel"]
    if (
        not entry
        or entry[0]["st_shndx"] == "SHN_UNDEF"
        or entry[0]["st_info"]["bind"] != "STB_GLOBAL"
        or entry[0]["st_other"]["visibility"] != "STV_DEFAULT"
    ):
        faults.append(f"{module.path}: PyInit__ostrel is not exported")

    # Libraries auditwheel grafted into the wheel, which the SDK may need (under their new names).
    libs = os.path.join(module_dir, "ostrel.libs")
    grafted = set(os.listdir(libs)) if os.path.isdir(libs) else set()
    for f, allowed in ((module, SYSTEM), (sdk, SDK_SYSTEM)):
        for lib in f.needed:
            if lib != "libostrel.so" and not allowed.match(lib) and not (f is sdk and lib in grafted):
                faults.append(f"{f.path}: needs {lib}")
        for sym, version in f.undefined:
            if version is not None:
                if not allowed.match(version[0]):
                    faults.append(f"{f.path}: {sym.name}@{version[1]} comes from {version[0]}")
            elif sym["st_info"]["bind"] == "STB_WEAK":
                continue  # optional hooks of the C runtime (__gmon_start__, _ITM_*)
            elif f is sdk or INTERPRETER.match(sym.name) or sym.name in sdk.defined:
                continue  # the SDK's unversioned ones come from the libraries checked above
            else:
                faults.append(f"{f.path}: undefined symbol {sym.name} belongs to no allowed library")

    print(
        f"{os.path.basename(module.path)}: {machine}, RUNPATH {':'.join(runpaths)}, "
        f"needs {', '.join(module.needed)}; newest glibc symbol {module.glibc()}"
    )
    print(
        f"libostrel.so: needs {', '.join(sdk.needed)}; newest glibc symbol {sdk.glibc()}"
        + (f"; grafted: {', '.join(sorted(grafted))}" if grafted else "")
    )
    return faults


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--machine", choices=sorted(MACHINES), required=True)
    parser.add_argument("dir")
    args = parser.parse_args()
    faults = check(args.dir, args.machine)
    for fault in faults:
        print("FAULT:", fault, file=sys.stderr)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
