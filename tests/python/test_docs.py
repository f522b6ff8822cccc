"""Every example in docs/ runs: Python blocks as one script per page, C and C++ sources
compiled against an installed tree, shell blocks in order. A block marked
"<!-- setup, not run -->" is the only kind left out."""
import os
import re
import shutil
import subprocess
import sys

import pytest

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
DOCS = os.path.join(ROOT, "docs")
BUILD_DIR = os.environ.get("QUORVEX_BUILD_DIR")
CLI = os.environ.get("QUORVEX_CLI")
FENCE = re.compile(r"(?:<!-- (file: (?P<file>\S+)|(?P<skip>setup, not run)[^>]*) -->\n)?"
                   r"```(?P<lang>\w+)\n(?P<body>.*?)```", re.S)


def blocks(page):
    with open(os.path.join(DOCS, page), encoding="utf-8") as f:
        text = f.read()
    found = [m.groupdict() for m in FENCE.finditer(text)]
    assert found and text.count("```") == 2 * len(found), page
    return found


def run_shell(block, cwd, env):
    result = subprocess.run(["bash", "-e", "-c", block], cwd=cwd, env=env, capture_output=True,
                            text=True, timeout=300)
    assert result.returncode == 0, f"{block}\n{result.stdout}\n{result.stderr}"
    return result.stdout


def test_every_page_starts_with_a_runnable_example():
    for page in ("python.md", "c-cpp.md", "cli.md"):
        first = blocks(page)[0]
        assert not first["skip"] and first["lang"] in ("python", "c", "sh"), page


def shown_lines(sample):
    """The lines of a sample output, without the "..." that stand for lines left out."""
    return [line for line in sample.splitlines() if line.strip() != "..."]


def test_python_page(quorvex_package, tmp_path):
    code = [b["body"] for b in blocks("python.md") if b["lang"] == "python"]
    assert len(code) >= 5
    script = tmp_path / "doc_example.py"
    script.write_text("\n".join(code), encoding="utf-8")
    result = subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True,
                            text=True, timeout=900)
    assert result.returncode == 0, result.stderr
    assert "quorvex discovery report" in result.stdout
    # The sample report is the page's own first run, line for line (no time limit: the
    # same on every machine), in its order.
    sample = next(b["body"] for b in blocks("python.md") if b["lang"] == "text")
    printed = result.stdout.splitlines()
    at = 0
    for line in shown_lines(sample):
        assert line in printed[at:], line
        at = printed.index(line, at) + 1


@pytest.fixture(scope="module")
def installed(tmp_path_factory):
    if not BUILD_DIR:
        pytest.skip("QUORVEX_BUILD_DIR not set")
    prefix = tmp_path_factory.mktemp("prefix")
    subprocess.run(["cmake", "--install", BUILD_DIR, "--prefix", str(prefix)], check=True,
                   capture_output=True, timeout=120)
    pc = next(p for p in prefix.rglob("quorvex.pc"))
    env = dict(os.environ, QUORVEX_PREFIX=str(prefix), PKG_CONFIG_PATH=str(pc.parent))
    return env


def test_c_and_cpp_page(installed, tmp_path):
    ran = 0
    for b in blocks("c-cpp.md"):
        if b["skip"]:
            continue
        if b["file"]:
            (tmp_path / b["file"]).write_text(b["body"], encoding="utf-8")
        else:
            assert b["lang"] == "sh"
            out = run_shell(b["body"], tmp_path, installed)
            ran += 1
            if "./example" in b["body"] or "./build/example" in b["body"]:
                assert "verdict" in out
    assert ran == 4  # the refined and classic builds, CMake, C++


def test_cli_page(tmp_path):
    if not CLI:
        pytest.skip("QUORVEX_CLI not set")
    shutil.copytree(os.path.join(ROOT, "examples", "data"), tmp_path / "examples" / "data")
    env = dict(os.environ, PATH=os.path.dirname(CLI) + os.pathsep + os.environ["PATH"])
    for b in blocks("cli.md"):
        assert b["lang"] == "sh" and not b["skip"]
        run_shell(b["body"], tmp_path, env)
    for made in ("run.svg", "noisy.svg", "model.json", "predictions.csv"):
        assert (tmp_path / made).stat().st_size > 0, made
    # The page's sample is its first command's output, the time aside.
    with open(os.path.join(DOCS, "cli.md"), encoding="utf-8") as f:
        page = f.read()
    sample = re.search(r"\n\n((?:    .*\n)+)", page).group(1)
    first = run_shell(blocks("cli.md")[0]["body"], tmp_path, env).splitlines()
    timeless = lambda line: re.sub(r" in [0-9.]+ s,", " in _ s,", line)
    for line in shown_lines(sample):
        assert timeless(line[4:]) in map(timeless, first), line
