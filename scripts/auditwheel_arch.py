"""Runs auditwheel with the manylinux policies of the given architecture.

auditwheel 6.1, the last release that runs on Python 3.8, takes its policies from the machine it
runs on, so on an x86_64 build machine it refuses an aarch64 wheel ("invalid choice" for --plat).
The rest of its work (reading the ELF files' needed libraries and symbol versions, patching) is
the same for any architecture's files.

usage: auditwheel_arch.py ARCH show|repair [auditwheel arguments...]
"""

import sys

import auditwheel.policy
from auditwheel.main import main

if __name__ == "__main__":
    arch = sys.argv.pop(1)
    auditwheel.policy.get_arch_name = lambda **_: arch
    sys.exit(main())
