"""What a report's verdict leaves out, in plain words.

The verdict compares BIC values, and two properties of that score can make it
mislead:

- Rows where the formula is undefined (NaN or infinite) are left out of its
  error but still counted in its BIC. A formula that happens to be undefined on
  the rows hardest to fit can then look decisive on pure noise.
- An error of exactly zero scores +inf, like an unusable formula: an exact fit
  gets no credit, and a constant target makes the constant model unbeatable
  in name only.

`quorvex.permutation_test` gives a p-value that is not fooled by either.
"""
import math

_CHECK = "check it with quorvex.permutation_test"


def _percent(share):
    # Rounded down, so that only a formula finite on every row shows 100.0%.
    return f"{math.floor(share * 1000) / 10:.1f}%"


def linear_note(report):
    """Why the verdict is not Strong when a straight line is the reason, or None."""
    d = report.delta_bic_linear
    if report.verdict.name == "Strong" or math.isnan(d):
        return None
    clearly_linear = report.baselines.bic_linear < report.baselines.bic_const - 10
    linear = ": the relation may be linear" if clearly_linear else ""
    if d > 0:
        return (f"a straight line fits better than the formula found (ΔBIC vs linear {d:+.1f})"
                + linear)
    # The refined search reports the least-squares line itself when nothing beats it.
    if d == 0 and report.verdict.name == "Weak":
        return "the least-squares line fits best: it is the formula reported" + linear
    if report.verdict.name == "Weak" and d >= -10:
        return (f"the formula beats a straight line by too little to count (ΔBIC vs linear "
                f"{d:+.1f}; Strong needs below -10)")
    return None


def warnings(report):
    """Plain-language cautions about the report's verdict, as a list of strings (often empty)."""
    out = []
    if report.stop_reason == "interrupted":
        out.append(f"the search was interrupted (Ctrl-C) after {report.generations} generations: "
                   "this is the best formula found so far, not where the search would have "
                   "ended")
    share = report.finite_share  # the library's count (QVX_FINITE_SHARE)
    if share < 1.0 and report.verdict.name != "Noise":
        out.append(
            f"the formula is undefined (NaN or infinite) on {_percent(1.0 - share)} of the rows "
            f"(finite on {_percent(share)}); the BIC leaves undefined rows out but still counts "
            "them, so a formula that dodges the hardest rows can look decisive by chance and "
            f"this {report.verdict.name} verdict may be far too optimistic: {_CHECK}")
    # A search that floors the error (refined: mse_floor > 0) scores an exact fit.
    if report.mse_train == 0.0 and not report.mse_floor > 0.0:
        out.append(
            "the training error is exactly zero, which the BIC scores as +inf, like an unusable "
            "formula: an exact fit gets no credit in the verdict; judge it by the test error")
    domain = report.domain_share  # QVX_DOMAIN_SHARE; NaN for a classic report
    if domain < 1.0:
        out.append(
            f"the formula is undefined (NaN or infinite) on {_percent(1.0 - domain)} of the box "
            f"the training data span ({round((1.0 - domain) * 4096)} of 4096 points drawn in "
            "it): it fits the rows but need not hold between or beside them")
    line = linear_note(report)
    if line:
        out.append(line)
    if report.baselines.bic_const == math.inf and report.n_train >= 2:
        out.append(
            "the constant model scores +inf (its training error is zero or not finite, e.g. all "
            "targets equal), so beating it means nothing and the verdict is at best a formality")
    return out
