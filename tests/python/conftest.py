import os
import sys

# Tests run against the module built in the CMake tree when KORVANE_MODULE_DIR names it, and
# against the installed module otherwise.
_module_dir = os.environ.get("KORVANE_MODULE_DIR")
if _module_dir:
    sys.path.insert(0, _module_dir)
