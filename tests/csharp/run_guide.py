"""Compiles the C# of docs/windows.md, exactly as the page shows it, with the
checks in guide_test.cs, and runs it with Mono against the Linux libraries.

usage: run_guide.py <windows.md> <guide_test.cs> <work dir> <library dir>...
"""
import os
import re
import subprocess
import sys

page, test, work, *lib_dirs = sys.argv[1:]
with open(page, encoding="utf-8") as f:
    blocks = re.findall(r"```csharp\n(.*?)```", f.read(), re.S)
assert len(blocks) >= 3, "the guide's C# blocks are missing"
os.makedirs(work, exist_ok=True)
guide = os.path.join(work, "guide.cs")
with open(guide, "w", encoding="utf-8") as f:
    f.write("\n".join(blocks))
exe = os.path.join(work, "guide_test.exe")
subprocess.run(["mcs", "-warnaserror", "-out:" + exe, guide, test], check=True)
env = dict(os.environ, LD_LIBRARY_PATH=os.pathsep.join(lib_dirs))
sys.exit(subprocess.run(["mono", "--debug", exe], env=env).returncode)
