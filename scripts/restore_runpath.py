"""Gives the module in a repaired wheel back the run path it was built with.

When auditwheel repair grafts a library into <name>.libs/, it rewrites the run path of every
binary that needs it, the module included since the module loads the SDK that needs it: the
module gets an RPATH of only $ORIGIN/ostrel.libs. auditwheel 6.1 drops $ORIGIN because it counts
a top-level module's own directory as outside the wheel, so the module would no longer find
libostrel.so beside it. The module needs nothing from ostrel.libs itself (the SDK's own run path
points there), so its built RUNPATH is set back with patchelf.

A wheel is a zip file whose RECORD lists each file's sha256 and size; the module's line there is
rewritten with the patched file's, and every other member is copied as it was (name, date,
permissions, compression), so this needs nothing of auditwheel's own code.

usage: restore_runpath.py BUILT_WHEEL REPAIRED_WHEEL
"""

import base64
import csv
import hashlib
import io
import os
import subprocess
import sys
import tempfile
import zipfile

from elftools.elf.elffile import ELFFile


def is_module(name):
    return "/" not in name and name.startswith("_ostrel.") and name.endswith(".so")


def module_runpath(wheel):
    with zipfile.ZipFile(wheel) as z:
        name = next(n for n in z.namelist() if is_module(n))
        with z.open(name) as f:
            elf = ELFFile(f)
            tags = elf.get_section_by_name(".dynamic").iter_tags("DT_RUNPATH")
            return next(t.runpath for t in tags)


def record_hash(data):
    return "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()


def set_runpath(data, name, runpath):
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, name)
        with open(path, "wb") as f:
            f.write(data)
        # On a file with an RPATH, patchelf writes the new path as a RUNPATH.
        subprocess.check_call(["patchelf", "--set-rpath", runpath, path])
        with open(path, "rb") as f:
            return f.read()


def rewrite(wheel, runpath):
    with zipfile.ZipFile(wheel) as z:
        members = [(info, z.read(info)) for info in z.infolist()]
    names = [info.filename for info, _ in members]
    modules = [n for n in names if is_module(n)]
    records = [n for n in names if n.count("/") == 1 and n.endswith(".dist-info/RECORD")]
    if len(modules) != 1 or len(records) != 1:
        raise SystemExit(f"restore_runpath: {wheel}: expected one module and one RECORD, found {modules}, {records}")
    module, record = modules[0], records[0]
    contents = dict((info.filename, data) for info, data in members)
    patched = set_runpath(contents[module], module, runpath)

    rows = list(csv.reader(io.StringIO(contents[record].decode("utf-8"))))
    lines = [i for i, row in enumerate(rows) if row and row[0] == module]
    if len(lines) != 1:
        raise SystemExit(f"restore_runpath: {record} lists {module} {len(lines)} times")
    rows[lines[0]] = [module, record_hash(patched), str(len(patched))]
    text = io.StringIO()
    csv.writer(text, lineterminator="\n").writerows(rows)
    contents[module], contents[record] = patched, text.getvalue().encode("utf-8")

    fd, tmp = tempfile.mkstemp(suffix=".whl", dir=os.path.dirname(os.path.abspath(wheel)))
    os.close(fd)
    try:
        with zipfile.ZipFile(tmp, "w") as out:
            for info, _ in members:
                out.writestr(info, contents[info.filename])
        os.replace(tmp, wheel)
    except BaseException:
        os.unlink(tmp)
        raise


def check_record(wheel):
    """Every member but RECORD itself is listed once, with its own hash and size."""
    with zipfile.ZipFile(wheel) as z:
        record = next(n for n in z.namelist() if n.count("/") == 1 and n.endswith(".dist-info/RECORD"))
        listed = {row[0]: row[1:] for row in csv.reader(io.StringIO(z.read(record).decode("utf-8"))) if row}
        for name in z.namelist():
            if name != record and not name.endswith("/"):
                data = z.read(name)
                if listed.pop(name, None) != [record_hash(data), str(len(data))]:
                    raise SystemExit(f"restore_runpath: {wheel}: RECORD is wrong about {name}")
        if set(listed) != {record}:
            raise SystemExit(
                f"restore_runpath: {wheel}: RECORD lists files it does not hold: {sorted(set(listed) - {record})}"
            )


if __name__ == "__main__":
    built, repaired = sys.argv[1:]
    runpath = module_runpath(built)
    rewrite(repaired, runpath)
    check_record(repaired)
    print(f"restored the module's RUNPATH {runpath}", file=sys.stderr)
