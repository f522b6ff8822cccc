// Drives the guide's declarations (docs/windows.md) through both libraries:
// the guide's own example, then every accessor of a classic and a refined
// discovery. Exits non-zero on the first failed check.
using System;
using System.Runtime.InteropServices;
using System.Text.RegularExpressions;

public static class GuideTest
{
    static int failures = 0;

    static void Check(bool ok, string what)
    {
        if (ok) return;
        Console.Error.WriteLine("failed: " + what + " (last error: " + QvxNative.LastError() + ")");
        failures++;
    }

    static string MaskWall(string s)
    {
        return Regex.Replace(s, "(\"wall_clock_ms\": |wall = )[0-9]+", "${1}0");
    }

    static double[][] Data(int n, out double[] y)
    {
        var x = new double[n];
        var z = new double[n];
        y = new double[n];
        // Noise from a generator: a pattern periodic in i is periodic in x on
        // this grid, and the refined search may write it out exactly.
        uint s = 12345;
        for (int i = 0; i < n; i++)
        {
            s = unchecked(s * 1664525u + 1013904223u);
            x[i] = i / 10.0 - 2;
            z[i] = (i * 7) % 11;
            y[i] = 3 * x[i] * x[i] + 1 + 0.04 * (s >> 8) / 16777216.0;
        }
        return new[] { x, z };
    }

    static IntPtr ExtDataset(double[][] columns, double[] y)
    {
        using (var pinned = new QvxNative.Columns(columns))
            return QvxNative.qvx_dataset_from_columns("y", (UIntPtr)2, new[] { "x", "z" },
                                                      pinned.Pointers, y, (UIntPtr)y.Length);
    }

    // The classic search gives the first interface's report, byte for byte.
    static void Classic(double[][] columns, double[] y)
    {
        IntPtr first = QuorvexNative.quorvex_dataset_new("y");
        Check(QuorvexNative.quorvex_dataset_add_feature(first, "x") == 0, "add_feature x");
        Check(QuorvexNative.quorvex_dataset_add_feature(first, "z") == 0, "add_feature z");
        for (int i = 0; i < y.Length; i++)
            QuorvexNative.quorvex_dataset_push_row(first, new[] { columns[0][i], columns[1][i] }, y[i]);
        Check((ulong)QuorvexNative.quorvex_dataset_n_rows(first) == (ulong)y.Length, "n_rows");
        IntPtr report = QuorvexNative.quorvex_discover(first, 6, (UIntPtr)60, 0, 7, 0.2);
        QuorvexNative.quorvex_dataset_free(first);

        IntPtr ds = ExtDataset(columns, y);
        Check((ulong)QvxNative.qvx_dataset_n_features(ds) == 2, "n_features");
        QvxOptions o = QvxNative.Defaults(QvxNative.SearchClassic);
        o.generations = 6;
        o.population = (UIntPtr)60;
        o.seed = 7;
        int calls = 0;
        QvxNative.Progress count = (user, g, total, elapsed, best) => { calls++; return 0; };
        IntPtr result;
        Check(QvxNative.qvx_discover(ds, ref o, count, IntPtr.Zero, out result) == QvxNative.Ok,
              "classic discover");
        Check(calls == 6, "one callback per generation");
        Check(MaskWall(QuorvexNative.Take(QuorvexNative.quorvex_report_json(report))) ==
              MaskWall(QvxNative.Take(QvxNative.qvx_result_text(result, QvxNative.Json))),
              "classic JSON equals quorvex_report_json");
        Check(MaskWall(QuorvexNative.Take(QuorvexNative.quorvex_report_pretty(report))) ==
              MaskWall(QvxNative.Take(QvxNative.qvx_result_text(result, QvxNative.Pretty))),
              "classic text equals quorvex_report_pretty");
        Check(QuorvexNative.Take(QuorvexNative.quorvex_report_formula(report)) ==
              QvxNative.Take(QvxNative.qvx_result_text(result, QvxNative.Formula)), "formula");
        Check(QuorvexNative.quorvex_report_verdict(report) == QvxNative.qvx_result_verdict(result),
              "verdict");
        Check(QuorvexNative.quorvex_report_mse_train(report) ==
              QvxNative.qvx_result_number(result, QvxNative.MseTrain), "mse_train");
        Check(QuorvexNative.quorvex_report_mse_test(report) ==
              QvxNative.qvx_result_number(result, QvxNative.MseTest), "mse_test");
        Check(QuorvexNative.quorvex_report_bic(report) ==
              QvxNative.qvx_result_number(result, QvxNative.Bic), "bic");
        Check(QuorvexNative.quorvex_report_delta_bic_const(report) ==
              QvxNative.qvx_result_number(result, QvxNative.DeltaBicConst), "delta const");
        Check(QuorvexNative.quorvex_report_delta_bic_linear(report) ==
              QvxNative.qvx_result_number(result, QvxNative.DeltaBicLinear), "delta linear");
        Check(QuorvexNative.quorvex_report_z_vs_shuffled(report) ==
              QvxNative.qvx_result_number(result, QvxNative.ZVsShuffled), "z");
        Check(QvxNative.qvx_result_count(result, QvxNative.Search) == QvxNative.SearchClassic,
              "search");
        Check(QvxNative.qvx_result_count(result, QvxNative.FrontSize) == 0, "classic front");
        Check(QvxNative.Take(QvxNative.qvx_result_text(result, QvxNative.Simplified)) != null,
              "simplified");
        QuorvexNative.quorvex_report_free(report);
        QvxNative.qvx_result_free(result);

        // Stopping a classic search abandons it.
        QvxNative.Progress stop = (user, g, total, elapsed, best) => g >= 2 ? 1 : 0;
        Check(QvxNative.qvx_discover(ds, ref o, stop, IntPtr.Zero, out result) == QvxNative.Stopped,
              "classic stop");
        Check(QvxNative.LastError().Length > 0, "a reason for the stop");
        GC.KeepAlive(count);
        GC.KeepAlive(stop);
        QvxNative.qvx_dataset_free(ds);
    }

    static void Refined(double[][] columns, double[] y)
    {
        columns[1][3] = double.NaN;  // one row set aside
        IntPtr ds = ExtDataset(columns, y);
        QvxOptions o = QvxNative.Defaults(QvxNative.SearchRefined);
        o.seed = 5;
        IntPtr result;
        Check(QvxNative.qvx_discover(ds, ref o, null, IntPtr.Zero, out result) == QvxNative.Ok,
              "refined discover");
        Check(QvxNative.LastError() == "", "no error after success");
        Check(QvxNative.qvx_result_verdict(result) == 2, "Strong");
        for (int f = QvxNative.MseTrain; f <= QvxNative.MseFloor; f++)
            Check(!double.IsNaN(QvxNative.qvx_result_number(result, f)), "number " + f);
        Check(double.IsNaN(QvxNative.qvx_result_number(result, 99)), "unknown number field");
        Check(QvxNative.LastError().Contains("unknown field"), "its reason");
        Check(QvxNative.qvx_result_number(result, QvxNative.FiniteShare) == 1.0, "finite share");
        Check(QvxNative.qvx_result_count(result, QvxNative.RowsSetAside) == 1, "rows set aside");
        Check(QvxNative.qvx_result_count(result, QvxNative.NTrain) +
              QvxNative.qvx_result_count(result, QvxNative.NTest) == (ulong)y.Length - 1, "rows");
        Check(QvxNative.qvx_result_count(result, QvxNative.K) > 0, "k");
        Check(QvxNative.qvx_result_count(result, QvxNative.Generations) > 0, "generations");
        Check(QvxNative.qvx_result_count(result, QvxNative.StopReason) < 4, "stop reason");
        for (int f = QvxNative.Formula; f <= QvxNative.StopName; f++)
            Check(!string.IsNullOrEmpty(QvxNative.Take(QvxNative.qvx_result_text(result, f))),
                  "text " + f);
        string json = QvxNative.Take(QvxNative.qvx_result_text(result, QvxNative.Json));
        Check(json.Contains("\"search\": \"refined\"") && json.Contains("\"front\": ["), "JSON");

        ulong front = QvxNative.qvx_result_count(result, QvxNative.FrontSize);
        Check(front > 0, "front");
        double best = double.PositiveInfinity;
        for (ulong i = 0; i < front; i++)
        {
            for (int f = QvxNative.FrontComplexity; f <= QvxNative.FrontBic; f++)
                Check(!double.IsNaN(QvxNative.qvx_front_number(result, (UIntPtr)i, f)), "front number");
            best = Math.Min(best, QvxNative.qvx_front_number(result, (UIntPtr)i, QvxNative.FrontBic));
            Check(QvxNative.Take(QvxNative.qvx_front_text(result, (UIntPtr)i, QvxNative.Formula)) != null,
                  "front formula");
            Check(QvxNative.Take(QvxNative.qvx_front_text(result, (UIntPtr)i, QvxNative.ExprJson)) != null,
                  "front JSON");
        }
        Check(best == QvxNative.qvx_result_number(result, QvxNative.Bic), "front holds the best");
        Check(QvxNative.qvx_front_text(result, (UIntPtr)front, QvxNative.Formula) == IntPtr.Zero,
              "front index out of range");

        // Prediction: the formula's own errors come back.
        string model = QvxNative.Take(QvxNative.qvx_result_text(result, QvxNative.ExprJson));
        var predicted = new double[y.Length];
        using (var pinned = new QvxNative.Columns(columns))
            Check(QvxNative.qvx_predict(model, (UIntPtr)2, new[] { "x", "z" }, pinned.Pointers,
                                        (UIntPtr)y.Length, predicted) == QvxNative.Ok, "predict");
        // The row set aside (z is NaN) has no prediction if the formula reads z.
        double sq = 0;
        for (int i = 0; i < y.Length; i++)
            if (i != 3) sq += (predicted[i] - y[i]) * (predicted[i] - y[i]);
        Check(sq / y.Length < 0.01, "predictions fit");

        // The permutation test, with progress.
        var nulls = new double[2];
        double p;
        int done = 0;
        QvxNative.PermutationProgress tick = (user, d, total) => { done = (int)d; return 0; };
        o.generations = 5;
        Check(QvxNative.qvx_permutation_test(ds, ref o, QvxNative.qvx_result_number(result, QvxNative.Bic),
                                             (UIntPtr)2, tick, IntPtr.Zero, nulls, out p) ==
              QvxNative.Ok, "permutation test");
        Check(done == 2 && p == 1.0 / 3.0, "p-value " + p);
        GC.KeepAlive(tick);

        // A stop request ends a refined search with its best so far.
        QvxNative.Progress stop = (user, g, total, elapsed, bestBic) => g >= 2 ? 1 : 0;
        IntPtr stopped;
        Check(QvxNative.qvx_discover(ds, ref o, stop, IntPtr.Zero, out stopped) == QvxNative.Ok,
              "refined stop");
        Check(QvxNative.qvx_result_count(stopped, QvxNative.StopReason) == 4, "stopped by caller");
        GC.KeepAlive(stop);
        QvxNative.qvx_result_free(stopped);
        QvxNative.qvx_result_free(result);
        QvxNative.qvx_dataset_free(ds);

        Check(QvxNative.qvx_dataset_new(null) == IntPtr.Zero, "NULL name refused");
        Check(QvxNative.LastError() == "target_name is NULL", "its reason");
    }

    public static int Main()
    {
        Check(QvxNative.qvx_version() > 0, "version");
        QuorvexExample.Run();
        double[] y;
        Classic(Data(60, out y), y);
        Refined(Data(60, out y), y);
        Console.WriteLine(failures == 0 ? "C# host: all checks passed" : failures + " checks failed");
        return failures == 0 ? 0 : 1;
    }
}
