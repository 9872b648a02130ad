"""Gives the module in a repaired wheel back the run path it was built with.

When auditwheel repair grafts a library into <name>.libs/, it rewrites the run path of every
binary that needs it, the module included since the module loads the SDK that needs it: the
module gets an RPATH of only $ORIGIN/ostrel.libs. auditwheel 6.1 drops $ORIGIN because it counts
a top-level module's own directory as outside the wheel, so the module would no longer find
libostrel.so beside it. The module needs nothing from ostrel.libs itself (the SDK's own run path
points there), so its built RUNPATH is set back and the wheel's RECORD rewritten.

usage: restore_runpath.py BUILT_WHEEL REPAIRED_WHEEL
"""
import glob
import subprocess
import sys
import zipfile

from auditwheel.wheeltools import InWheel
from elftools.elf.elffile import ELFFile


def module_runpath(wheel):
    with zipfile.ZipFile(wheel) as z:
        name = next(n for n in z.namelist() if n.startswith("_ostrel.") and n.endswith(".so"))
        with z.open(name) as f:
            elf = ELFFile(f)
            tags = elf.get_section_by_name(".dynamic").iter_tags("DT_RUNPATH")
            return next(t.runpath for t in tags)


if __name__ == "__main__":
    built, repaired = sys.argv[1:]
    runpath = module_runpath(built)
    with InWheel(repaired, repaired):
        for module in glob.glob("_ostrel.*.so"):
            subprocess.check_call(["patchelf", "--set-rpath", runpath, module])
    print(f"restored the module's RUNPATH {runpath}", file=sys.stderr)
