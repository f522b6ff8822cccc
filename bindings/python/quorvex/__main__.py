"""The quorvex command, as pip installs it: `quorvex ...` or `python -m quorvex ...` runs the
command built with the package (its options: `quorvex --help`, docs/cli.md)."""
import os
import subprocess
import sys

# QUORVEX_CLI names another build of the command (a build tree's, say).
ENV_VAR = "QUORVEX_CLI"


def command_path():
    explicit = os.environ.get(ENV_VAR)
    if explicit:
        return explicit
    here = os.path.dirname(os.path.abspath(__file__))
    for name in ("quorvex.exe", "quorvex") if sys.platform == "win32" else ("quorvex",):
        path = os.path.join(here, "bin", name)
        if os.path.isfile(path):
            return path
    return None


def main(argv=None):
    args = sys.argv[1:] if argv is None else list(argv)
    path = command_path()
    if path is None:
        sys.stderr.write(
            "quorvex: this package was built without its command (CMake found no CLI11 when pip "
            "built it; Debian: libcli11-dev); reinstall with it, or set QUORVEX_CLI to the path "
            "of a quorvex command\n")
        return 2
    if os.name == "posix":
        # The command takes over this process: Ctrl-C, exit status and streams are its own.
        try:
            os.execv(path, [path] + args)
        except OSError as e:
            sys.stderr.write(f"quorvex: cannot run {path}: {e}\n")
            return 2
    try:
        return subprocess.call([path] + args)
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
