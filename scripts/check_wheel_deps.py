"""Checks an installed korvane wheel: ldd of the module resolves every library either inside the
venv or to the C and C++ runtimes, and a process that imported korvane and used a store has
mapped no oneTBB or SQLite from outside the venv. Run with the venv's interpreter."""

import os
import re
import subprocess
import sys
import tempfile

RUNTIMES = re.compile(
    r"^(linux-vdso\.so\.1|ld-linux[-\w]*\.so\.\d|libc\.so\.6|libm\.so\.6|libstdc\+\+\.so\.6|"
    r"libgcc_s\.so\.1|libpthread\.so\.0|libdl\.so\.2|librt\.so\.1)$"
)


def main() -> int:
    venv = os.path.realpath(sys.argv[1])
    import korvane

    module = os.path.realpath(korvane.__file__)
    if not module.startswith(venv + os.sep):
        print(f"korvane was imported from {module}, not from {venv}")
        return 1
    faults = []
    ldd = subprocess.run(["ldd", module], capture_output=True, text=True, check=True).stdout
    for line in ldd.splitlines():
        parts = line.split()
        name = os.path.basename(parts[0])
        path = parts[2] if len(parts) > 2 and parts[1] == "=>" else parts[0]
        if "not found" in line:
            faults.append(line.strip())
        elif not RUNTIMES.match(name) and not os.path.realpath(path).startswith(venv + os.sep):
            faults.append(f"{name} comes from {path}")
    print(ldd)

    with tempfile.TemporaryDirectory() as tmp:
        store = korvane.Korvane(os.path.join(tmp, "check.db"))
        store.insert("a", [1.0, 2.0], '{"k": 1}')
        assert store.search([1.0, 2.0], 1)[0][0] == "a"
        with open("/proc/self/maps") as maps:
            mapped = {line.split()[-1] for line in maps if "/" in line}
        del store
    for path in sorted(mapped):
        if re.search(r"tbb|sqlite", os.path.basename(path)) and not path.startswith(venv + os.sep):
            faults.append(f"{path} is mapped from outside the wheel")
    for fault in faults:
        print("FAULT:", fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
