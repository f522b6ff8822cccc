"""The command on the files people have: outputs that survive failures, missing
values, repeated names, separators and columns, and arguments beyond its means."""
import json
import os
import random
import resource
import signal
import socket
import subprocess
import time

import pytest

CLI = os.environ.get("QUORVEX_CLI")
QUICK = ["--population", "20", "--generations", "3", "--json"]

pytestmark = pytest.mark.skipif(not CLI, reason="QUORVEX_CLI not set")


def run(*args, stdin=None, limit_memory=None):
    def limit():
        resource.setrlimit(resource.RLIMIT_AS, (limit_memory, limit_memory))
    return subprocess.run([CLI, *map(str, args)], input=stdin, capture_output=True, timeout=600,
                          preexec_fn=limit if limit_memory else None)


def table(n=40, seed=1, sep=","):
    """x1, x2 and y = x1*x2 + x2 as CSV text, with the rows as numbers."""
    rng = random.Random(seed)
    rows = []
    for _ in range(n):
        a, b = rng.uniform(-2, 2), rng.uniform(-2, 2)
        rows.append([a, b, a * b + b])
    text = sep.join(["x1", "x2", "y"]) + "\n"
    text += "".join(sep.join(repr(v) for v in row) + "\n" for row in rows)
    return text, rows


def write(tmp_path, text, name="d.csv"):
    path = tmp_path / name
    path.write_bytes(text if isinstance(text, bytes) else text.encode())
    return path


def error_of(result):
    err = result.stderr.decode()
    assert result.returncode == 2, err
    assert result.stdout == b"" and err.count("\n") == 1, err
    return err


def report_of(result):
    assert result.returncode == 0, result.stderr.decode()
    return json.loads(result.stdout)


def without_wall(report):
    return {k: v for k, v in report.items() if k != "wall_clock_ms"}


# ---- outputs: written only after success, never the input ------------------------

@pytest.mark.parametrize("case", ["missing input", "bad csv", "unknown target", "missing value"])
def test_a_failed_run_leaves_the_plot_file_alone(tmp_path, case):
    plot = write(tmp_path, b"<svg>old</svg>", "old.svg")
    good = write(tmp_path, table()[0])
    args = {"missing input": [tmp_path / "none.csv"],
            "bad csv": [write(tmp_path, "x,y\n1,a\n", "bad.csv")],
            "unknown target": [good, "--target", "zz"],
            "missing value": [write(tmp_path, "x,y\n1,nan\n2,3\n", "nan.csv")]}[case]
    error_of(run(*args, "--plot", plot, *QUICK))
    assert plot.read_bytes() == b"<svg>old</svg>"


def test_plot_naming_the_input_is_refused_before_anything_is_written(tmp_path):
    text = table()[0]
    path = write(tmp_path, text)
    err = error_of(run("--quiet", "--plot", path, path))
    assert "is the input file" in err
    assert path.read_text() == text


def test_interrupted_run_leaves_the_plot_file_alone(tmp_path):
    plot = write(tmp_path, b"<svg>old</svg>", "old.svg")
    # Noisy, so that the search neither ends exact nor soon.
    rng = random.Random(3)
    text = "x1,x2,y\n" + "".join(f"{a!r},{b!r},{a * b + b + rng.gauss(0, 0.3)!r}\n" for a, b in
                                 ((rng.uniform(-2, 2), rng.uniform(-2, 2)) for _ in range(400)))
    path = write(tmp_path, text)
    proc = subprocess.Popen([CLI, path, "--plot", plot, "--population", "3000",
                             "--generations", "100000", "--verbose"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert proc.stderr.readline().startswith(b"[quorvex] gen 1/")  # under way
    proc.send_signal(signal.SIGINT)
    proc.communicate(timeout=60)
    assert plot.read_bytes() == b"<svg>old</svg>"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["d.csv", "old.svg"]


def test_a_successful_run_replaces_the_plot_whole_and_keeps_its_permissions(tmp_path):
    plot = write(tmp_path, b"old", "run.svg")
    plot.chmod(0o640)
    report_of(run(write(tmp_path, table()[0]), "--plot", plot, *QUICK))
    assert plot.read_bytes().startswith(b"<?xml") and plot.read_bytes().endswith(b"</svg>\n")
    assert plot.stat().st_mode & 0o777 == 0o640
    assert sorted(p.name for p in tmp_path.iterdir()) == ["d.csv", "run.svg"]


@pytest.mark.parametrize("search", [[], ["--classic"]])
def test_ctrl_c_during_the_permutation_test_leaves_the_plot_alone(tmp_path, search):
    plot = write(tmp_path, b"<svg>old</svg>", "old.svg")
    proc = subprocess.Popen([CLI, write(tmp_path, table()[0]), *QUICK[:4], *search,
                             "--permutations", "1000000", "--plot", plot],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    # The report comes out before the first null.
    assert proc.stdout.readline().startswith("─── quorvex".encode())
    time.sleep(0.3)
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=60)
    assert proc.returncode == 130, err
    assert b"p-value" not in out
    assert err.decode().startswith("quorvex: interrupted by Ctrl-C during the permutation test, "
                                   "after "), err
    assert err.endswith(b" of 1000000 permutations: the report above stands, without a p-value; "
                        b"no plot was written\n"), err
    assert plot.read_bytes() == b"<svg>old</svg>"


def plot_kinds(tmp_path):
    """Each kind of path --plot may name, with how to read it back."""
    (tmp_path / "real.svg").write_bytes(b"old")
    os.symlink("real.svg", tmp_path / "link.svg")
    (tmp_path / "sub").mkdir()
    os.symlink("sub/new.svg", tmp_path / "dangling.svg")
    os.mkfifo(tmp_path / "fifo")
    return {"link.svg": "real.svg", "dangling.svg": "sub/new.svg"}


def test_plot_writes_through_links_devices_and_fifos(tmp_path):
    targets = plot_kinds(tmp_path)
    data = write(tmp_path, table()[0])
    for link, target in targets.items():
        report_of(run(data, "--plot", tmp_path / link, *QUICK))
        assert (tmp_path / link).is_symlink(), link  # the link stays, its file is replaced
        assert (tmp_path / target).read_bytes().endswith(b"</svg>\n"), link
    result = run(data, "--plot", "/dev/null", *QUICK)
    report_of(result)
    assert os.path.exists("/dev/null") and not os.path.isfile("/dev/null")
    assert run(data, "--plot", "/dev/full", *QUICK).returncode == 1
    # A FIFO is written in place once its reader is there: read it without blocking.
    reader = os.open(tmp_path / "fifo", os.O_RDONLY | os.O_NONBLOCK)
    proc = subprocess.Popen([CLI, data, "--plot", tmp_path / "fifo", *QUICK],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    svg = b""
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        done = proc.poll() is not None  # before the read, so that it drains the rest
        try:
            chunk = os.read(reader, 1 << 16)
        except BlockingIOError:
            chunk = None
        svg += chunk or b""
        if not chunk and done:
            break
        if not chunk:
            time.sleep(0.01)
    os.close(reader)
    assert proc.wait(timeout=60) == 0, proc.stderr.read()
    assert svg.startswith(b"<?xml") and svg.endswith(b"</svg>\n")
    assert sorted(p.name for p in tmp_path.iterdir()) == [
        "d.csv", "dangling.svg", "fifo", "link.svg", "real.svg", "sub"]


def test_plot_refuses_folders_sockets_and_link_loops(tmp_path):
    data = write(tmp_path, table()[0])
    os.symlink("loop2", tmp_path / "loop1")
    os.symlink("loop1", tmp_path / "loop2")
    with socket.socket(socket.AF_UNIX) as sock:
        sock.bind(str(tmp_path / "sock"))
        for name, words in (("", "it is a folder"), ("sock", "it is a socket"),
                            ("loop1", "Too many levels of symbolic links")):
            path = tmp_path / name
            err = error_of(run(data, "--plot", path, *QUICK))
            assert err == f'quorvex: cannot write the plot "{path}": {words}\n'


# ---- missing and unusable values --------------------------------------------------

@pytest.mark.parametrize("bad", ["nan", "inf", "-inf", "1e200", "", "NA"])
@pytest.mark.parametrize("column", [0, 2])
def test_a_missing_or_unusable_value_stops_the_run_naming_its_line(tmp_path, bad, column):
    text, rows = table()
    lines = text.split("\n")
    for line_no in (5, 9):
        cells = lines[line_no - 1].split(",")
        cells[column] = bad
        lines[line_no - 1] = ",".join(cells)
    err = error_of(run(write(tmp_path, "\n".join(lines)), *QUICK))
    name = ["x1", "x2", "y"][column]
    assert f"2 of 40 rows have a missing or unusable value" in err
    assert f"lines 5, 9 (columns \"{name}\" in 2 rows)" in err
    assert "--drop-missing" in err

    dropped = run(write(tmp_path, "\n".join(lines)), "--drop-missing", *QUICK)
    report = report_of(dropped)
    assert report["n_train"] + report["n_test"] == 38
    assert dropped.stderr.decode().startswith(
        "dropped : 2 of 40 rows with a missing or unusable value (lines 5, 9)\n")
    # The same search as on the file without those rows.
    clean = "\n".join(line for i, line in enumerate(lines, 1) if i not in (5, 9))
    assert without_wall(report) == without_wall(report_of(run(write(tmp_path, clean, "c.csv"),
                                                              *QUICK)))


def test_missing_value_messages_stay_short_and_text_mode_notes_the_drop(tmp_path):
    lines = table(100)[0].split("\n")
    for i in range(1, 30):
        lines[i] = "nan," + lines[i].split(",", 1)[1]
    path = write(tmp_path, "\n".join(lines))
    assert "lines 2, 3, 4, 5, 6 and 24 more" in error_of(run(path, *QUICK))
    text = run(path, "--drop-missing", "--population", "20", "--generations", "3")
    assert text.returncode == 0
    assert "\ndropped : 29 of 100 rows with a missing or unusable value" in text.stdout.decode()
    assert text.stderr == b""


def test_missing_values_in_columns_left_out_do_not_count(tmp_path):
    text, _ = table()
    lines = text.split("\n")
    lines[0] = "note," + lines[0]
    lines[1:-1] = ["," + line for line in lines[1:-1]]
    report = report_of(run(write(tmp_path, "\n".join(lines)), "--exclude", "note", *QUICK))
    assert report["n_train"] + report["n_test"] == 40


def test_every_row_missing_is_an_error_even_when_dropping(tmp_path):
    err = error_of(run(write(tmp_path, "x,y\n1,\n2,NA\n"), "--drop-missing", *QUICK))
    assert "every row has a missing or unusable value" in err


def test_predict_writes_nan_for_a_row_with_a_missing_value(tmp_path):
    model = write(tmp_path, json.dumps({"expr_json": '{"Feature":"x"}'}), "m.json")
    out = run(write(tmp_path, "x,other\n1.5,a\n,b\nNA,c\n"), "--predict", model)
    assert out.returncode == 0, out.stderr
    assert out.stdout == b"prediction\n1.5\nnan\nnan\n"


# ---- names and columns -------------------------------------------------------------

@pytest.mark.parametrize("header, args, words", [
    ("a,a,y", [], "the name \"a\" is given to columns 1 and 2"),
    ("y,x,y", [], "columns 1 and 3"),
    ("a,b,a", ["--target", "b"], "columns 1 and 3"),
])
def test_repeated_names_among_the_columns_used_are_refused(tmp_path, header, args, words):
    err = error_of(run(write(tmp_path, header + "\n1,2,3\n4,5,6\n"), *args, *QUICK))
    assert ":1:" in err and words in err


def test_features_and_exclude_choose_the_columns(tmp_path):
    text, _ = table()
    lines = text.split("\n")
    lines = ["id,name," + lines[0]] + [f"{i},n{i}," + l for i, l in enumerate(lines[1:-1])] + [""]
    path = write(tmp_path, "\n".join(lines))
    expected = without_wall(report_of(run(write(tmp_path, text, "plain.csv"), *QUICK)))
    assert without_wall(report_of(run(path, "--exclude", "id,name", *QUICK))) == expected
    assert without_wall(report_of(run(path, "--exclude", "id", "--exclude", "name", *QUICK))) \
        == expected
    assert without_wall(report_of(run(path, "--features", "x1,x2", *QUICK))) == expected
    only_x2 = report_of(run(path, "--features", "x2", "--seed", "3", *QUICK))
    assert "x1" not in only_x2["formula"]
    err = error_of(run(path, *QUICK))
    assert "\"n0\" in column \"name\" is not a number" in err
    assert "leave it out with --exclude \"name\"" in err
    assert f"{path}:2:2:" in err


def test_every_text_column_is_named_at_once(tmp_path):
    path = write(tmp_path, "id,x,city,label\n1,2.5,Paris,big\n2,3.5,Rome,small\n")
    err = error_of(run(path, *QUICK))
    # The default target (the last column) holds text: --target is the way out.
    assert "--target NAME" in err
    assert "columns \"city\" hold text" not in err and "--exclude \"city\"" in err
    err = error_of(run(write(tmp_path, "id,name,city,y\n1,a,Paris,2\n", "two.csv"), *QUICK))
    assert "columns \"name\", \"city\" hold text on this line" in err
    assert "--exclude \"name,city\"" in err and "--target" not in err
    assert "--target" not in error_of(run(path, "--target", "label", *QUICK))


def test_pandas_index_column_is_named_and_can_be_left_out(tmp_path):
    text, _ = table()
    lines = text.split("\n")
    indexed = "\n".join([","+ lines[0]] + [f"{i}," + l for i, l in enumerate(lines[1:-1])]) + "\n"
    path = write(tmp_path, indexed)
    err = error_of(run(path, *QUICK))
    assert f"{path}:1:1: the first column has no name: it looks like an index column" in err
    assert "--exclude ''" in err and "index=False" in err
    expected = without_wall(report_of(run(write(tmp_path, text, "plain.csv"), *QUICK)))
    assert without_wall(report_of(run(path, "--exclude", "", *QUICK))) == expected


@pytest.mark.parametrize("sep, args", [(";", []), ("\t", []), ("|", ["--sep", "|"]),
                                       ("\t", ["--sep", "tab"])])
def test_separators_are_detected_or_given(tmp_path, sep, args):
    text, _ = table()
    expected = without_wall(report_of(run(write(tmp_path, text, "plain.csv"), *QUICK)))
    path = write(tmp_path, table(sep=sep)[0])
    assert without_wall(report_of(run(path, *args, *QUICK))) == expected


def test_decimal_commas_and_bad_separators_are_explained(tmp_path):
    err = error_of(run(write(tmp_path, "x;y\n1,5;2\n2,5;3\n"), *QUICK))
    assert "a decimal comma? write numbers with a decimal point" in err
    assert "--sep takes one character" in error_of(run(write(tmp_path, "x,y\n1,2\n"), "--sep",
                                                       "ab"))


def test_line_endings_of_every_kind(tmp_path):
    text, _ = table()
    expected = without_wall(report_of(run(write(tmp_path, text, "lf.csv"), *QUICK)))
    for name, ending in (("cr.csv", "\r"), ("crlf.csv", "\r\n")):
        path = write(tmp_path, text.replace("\n", ending), name)
        assert without_wall(report_of(run(path, *QUICK))) == expected, name


# ---- arguments beyond the command's means --------------------------------------------

def test_a_population_that_cannot_fit_is_refused(tmp_path):
    path = write(tmp_path, table()[0])
    err = error_of(run(path, "--population", "4294967296"))
    assert "a population of 4294967296 needs about" in err and "--population (at most" in err
    # The limit the process actually has counts, not only the machine's memory
    # (not under AddressSanitizer, whose shadow memory alone exceeds it).
    if os.environ.get("QUORVEX_SANITIZED"):
        return
    err = error_of(run(path, "--population", "5000000", limit_memory=2 ** 31))
    assert "the address-space limit (ulimit -v)" in err


def test_running_out_of_memory_is_an_error_not_an_abort(tmp_path):
    if os.environ.get("QUORVEX_SANITIZED"):
        pytest.skip("AddressSanitizer's shadow memory exceeds any small limit")
    rng = random.Random(2)
    wide = "".join(",".join(f"{rng.random():.4f}" for _ in range(3001)) + "\n" for _ in range(20))
    path = write(tmp_path, ",".join(f"x{i}" for i in range(3000)) + ",y\n" + wide, "wide.csv")
    limit = 50 * 2 ** 20
    report_of(run(write(tmp_path, table()[0]), *QUICK, limit_memory=limit))  # enough to start
    for search in ([], ["--classic"]):
        result = run(path, "--quiet", *search, limit_memory=limit)
        err = result.stderr.decode()
        assert result.returncode == 3 and result.stdout == b"", err
        assert err.startswith("quorvex: out of memory: ") and err.count("\n") == 1, err


@pytest.mark.parametrize("option, value", [("--seed", "99999999999999999999999"),
                                           ("--seed", "18446744073709551616"),
                                           ("--population", "-1"),
                                           ("--permutations", "1e3"),
                                           ("--max-depth", "4294967296")])
def test_numbers_beyond_their_range_are_refused(tmp_path, option, value):
    err = error_of(run(write(tmp_path, table()[0]), option, value))
    assert f"{option}: must be a whole number from 0 to" in err


def test_largest_seed_is_accepted(tmp_path):
    report_of(run(write(tmp_path, table()[0]), "--seed", "18446744073709551615", *QUICK))


def test_a_binary_file_is_refused_at_its_first_nul_byte(tmp_path):
    # /dev/zero never ends: only stopping at the first byte lets this finish.
    err = error_of(run("/dev/zero"))
    assert err == "quorvex: /dev/zero:1: a NUL byte: this is not a text file\n"
    err = error_of(run(write(tmp_path, b"x,y\n1,2\n\0\0")))
    assert ":3: a NUL byte" in err
