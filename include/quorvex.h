/*
 * quorvex: search for a closed-form formula that explains a numeric target
 * from named features, and judge whether it beats chance.
 *
 * The whole interface is the 18 functions below, with C linkage and the
 * platform's C calling convention, over two opaque handle types.
 *
 * Conventions that hold for every function
 * ----------------------------------------
 * - Failure is reported only through the return value (NULL, -1, 0 or 0.0).
 *   There are no error codes, no error texts and nothing is logged. A call
 *   that fails changes nothing.
 * - Pointer arguments are tested for NULL before anything else.
 * - Strings passed in are NUL-terminated and must be valid UTF-8 (strictly:
 *   no overlong forms, no surrogates U+D800..U+DFFF, nothing above
 *   U+10FFFF). They are read up to their first NUL byte, so a host string
 *   holding a NUL is cut there. The empty string is valid; so are control
 *   characters such as line feeds, which the library keeps as given. The
 *   library copies strings; it never keeps a pointer into host memory after
 *   a call returns.
 * - Strings returned are new NUL-terminated UTF-8 buffers owned by the caller,
 *   to be released exactly once with quorvex_string_free, unmodified.
 * - Handles belong to the caller until passed to their free function.
 *   Dataset handles, report handles and returned strings have independent
 *   lifetimes: none refers to another.
 * - No exception or other fault crosses this interface. Running out of memory
 *   terminates the process (abort); so does a request that can never fit,
 *   such as a population of 2^40 candidates.
 * - Nothing is read from files or the environment, nothing is written.
 * - On x86-64 the library computes in one fixed floating-point state (round
 *   to nearest, subnormals kept), whatever rounding mode or flush-to-zero
 *   setting the calling thread has, and gives the thread its own back.
 *
 * What the library cannot detect (the caller's obligation)
 * --------------------------------------------------------
 * Each of these is undefined behaviour, typically a crash or corrupted data:
 * - a handle it did not create, or one already freed (including a double free);
 * - a `values` array shorter than the dataset's feature count, or a `values`
 *   or string pointer that does not point to readable memory;
 * - a string argument without a terminating NUL;
 * - a returned string that was modified before quorvex_string_free, or a
 *   pointer passed to quorvex_string_free that the library did not return,
 *   or that was already released;
 * - a dataset handle modified while another call uses it, or a handle freed
 *   while another thread still uses it.
 *
 * Threads
 * -------
 * Distinct handles may be used from different threads at once. Calls that
 * only read a dataset handle (quorvex_dataset_n_rows, quorvex_discover) may
 * run concurrently on one handle; a call that modifies it (add_feature,
 * push_row, free) must not overlap any other call on that handle. A report
 * handle is read-only: any number of threads may read it at once, but
 * quorvex_report_free must not overlap another use of it.
 *
 * Population scoring runs on a process-wide pool of worker threads, one per
 * logical processor, created by the first discovery and kept until the
 * process ends (it is never torn down, and the library stays loaded while it
 * lives). Memory checkers show it at exit, and it does not grow with the
 * number of discoveries: valgrind lists the pool as "still reachable" and
 * the thread-local storage of its detached threads as "possibly lost" (a few
 * hundred bytes per worker); neither is a leak.
 *
 * Cost
 * ----
 * Nothing is capped but the depth budget (see quorvex_discover); the cost of
 * large arguments is time and memory, and an allocation that fails ends the
 * process. A discovery evaluates about generations x population trees on
 * every training row, each in time proportional to its size. Memory holds a
 * few copies of the population, and every feature leaf of every tree holds
 * its own copy of the feature's name, so long names multiply: names of
 * megabytes take gigabytes. The linear baselines solve a (features + 1)-square
 * system, in time cubic in the feature count: thousands of features take
 * minutes. A population of a million takes seconds and most of a gigabyte per
 * generation. docs/cost.md has the measured figures and how to reproduce them.
 */
#ifndef QUORVEX_H
#define QUORVEX_H

#include <stddef.h>
#include <stdint.h>

#define QUORVEX_VERSION_MAJOR 0
#define QUORVEX_VERSION_MINOR 1
#define QUORVEX_VERSION_PATCH 0

#if defined(_WIN32) || defined(__CYGWIN__)
#  if defined(QUORVEX_BUILDING_DLL)
#    define QUORVEX_API __declspec(dllexport)
#  elif defined(QUORVEX_STATIC)
#    define QUORVEX_API
#  else
#    define QUORVEX_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__)
#  define QUORVEX_API __attribute__((visibility("default")))
#else
#  define QUORVEX_API
#endif

/* C++ hosts see that no exception ever leaves these functions. */
#ifdef __cplusplus
#  define QUORVEX_NOEXCEPT noexcept
#else
#  define QUORVEX_NOEXCEPT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque dataset handle: feature names, a target name and rows. */
typedef struct CDataset CDataset;
/* Opaque, read-only result of one discovery. */
typedef struct CReport CReport;

/* ---- Datasets ------------------------------------------------------------ */

/*
 * Creates an empty dataset (no features, no rows) whose target is called
 * `target_name` (the name is stored but appears in no report).
 * Returns a new handle, to be released with quorvex_dataset_free, or NULL
 * when `target_name` is NULL or its bytes before the first NUL are not valid
 * UTF-8. "" is a valid name.
 */
QUORVEX_API CDataset* quorvex_dataset_new(const char* target_name) QUORVEX_NOEXCEPT;

/*
 * Appends a feature column called `name` (copied) to the feature list.
 * Empty names and repeated names are accepted: a name listed twice keeps both
 * entries in the list, and rows pushed afterwards keep the value given at the
 * later position. Rows pushed before this call read 0.0 for the new feature.
 * The name appears as given in formulas and in the text report (a line feed
 * in it therefore adds a line there); the JSON report escapes it.
 * Returns 0, or -1 (changing nothing) when `ds` or `name` is NULL or `name`
 * (up to its first NUL) is not valid UTF-8.
 * `ds` must be live and not in use by another thread.
 */
QUORVEX_API int32_t quorvex_dataset_add_feature(CDataset* ds, const char* name) QUORVEX_NOEXCEPT;

/*
 * Appends one row: values[i] is the value of the i-th feature added (counting
 * from 0), and exactly as many values are read as there are features now;
 * `target` is the observed target. Every double is stored unchanged: NaN,
 * infinities, signed zeros, subnormals. A formula that is not finite on a row
 * skips that row when it is scored.
 * `values` must not be NULL even when there are no features (nothing is read
 * from it then).
 * Returns 0, or -1 (changing nothing) when `ds` or `values` is NULL.
 * A `values` array shorter than the feature count cannot be detected: the
 * caller must pass at least that many values, and `ds` must be live and not
 * in use by another thread.
 */
QUORVEX_API int32_t quorvex_dataset_push_row(CDataset* ds, const double* values, double target) QUORVEX_NOEXCEPT;

/* Returns the number of rows pushed so far, or 0 when `ds` is NULL (the same
 * answer as for an empty dataset). */
QUORVEX_API size_t quorvex_dataset_n_rows(const CDataset* ds) QUORVEX_NOEXCEPT;

/* Releases the dataset. NULL is ignored. Reports made from it stay valid.
 * Freeing a handle twice, or while another call uses it, is undefined. */
QUORVEX_API void quorvex_dataset_free(CDataset* ds) QUORVEX_NOEXCEPT;

/* ---- Discovery ----------------------------------------------------------- */

/*
 * Runs one discovery on a copy of the dataset's current content and blocks
 * until it is finished. Later changes to the dataset, or freeing it, do not
 * affect the report.
 *
 * Arguments, with their substitutions (no other bound is applied):
 *   generations    0 means 40
 *   population     0 means 200
 *   max_depth      0 means 4; depth budgets above 64 are treated as 64, so
 *                  65, 1000 and 4294967295 give the report of 64 (trees
 *                  grown under 64 average dozens of nodes and reach
 *                  thousands; under the default 4, a handful)
 *   seed           used as given; 0 is an ordinary seed
 *   test_fraction  used when 0 < test_fraction < 1, otherwise 0.2
 *                  (this covers 0, 1, negatives, infinities and NaN)
 * A discovery always uses 30 shuffled-target nulls, niches and restarts on
 * stagnation, and writes nothing.
 *
 * Of n rows, floor((1 - test_fraction) * n) train the formula and the rest
 * test it: 1e-300 keeps every row for training (no test rows, mse_test is
 * NaN), and 0.9999999 leaves fewer than one training row per ten million.
 * Every discovery returns a report, also one that could score nothing: with
 * fewer than two training rows (no rows at all, or all held out), or with no
 * formula finite on half of them, bic is +inf and the verdict Noise.
 * See "Cost" above for large arguments.
 *
 * Equal dataset content, arguments and seed give the same report, bit for
 * bit, apart from the wall-clock figure, whatever the number of threads.
 * Returns a new report handle, to be released with quorvex_report_free, or
 * NULL when `ds` is NULL (and only then). `ds` must be live; other read-only
 * calls on it may run at the same time, but no call that modifies it.
 */
QUORVEX_API CReport* quorvex_discover(const CDataset* ds, uint32_t generations, size_t population,
                                      uint32_t max_depth, uint64_t seed, double test_fraction) QUORVEX_NOEXCEPT;

/* ---- Reports ------------------------------------------------------------- */

/*
 * The best formula as text, e.g. "((x * 2.0000e0) + y)", feature names
 * written as given.
 * Returns a new string (release with quorvex_string_free), or NULL when
 * `report` is NULL. A live report always gives a string: texts holding a NUL
 * byte would give NULL, and none can arise through this interface.
 */
QUORVEX_API char* quorvex_report_formula(const CReport* report) QUORVEX_NOEXCEPT;

/*
 * The thirteen-line text report, each line ending in "\n"; non-finite numbers
 * are written "NaN", "inf" and "-inf". The formula line holds the formula as
 * quorvex_report_formula gives it, so feature names with line feeds make it
 * span several lines.
 * Returns a new string (release with quorvex_string_free), or NULL when
 * `report` is NULL.
 */
QUORVEX_API char* quorvex_report_pretty(const CReport* report) QUORVEX_NOEXCEPT;

/*
 * The report as a JSON object with fifteen members in a fixed order (formula,
 * expr_json, k, mse_train, mse_test, bic, baselines, delta_bic_const,
 * delta_bic_linear, z_vs_shuffled, verdict, verdict_reason, n_train, n_test,
 * wall_clock_ms), indented by two spaces, without a trailing line feed.
 * NaN and infinities are null; control characters in names are escaped.
 * Returns a new string (release with quorvex_string_free), or NULL when
 * `report` is NULL.
 */
QUORVEX_API char* quorvex_report_json(const CReport* report) QUORVEX_NOEXCEPT;

/*
 * The verdict: 2 for Strong, 1 for Weak, 0 for Noise; also 0 when `report` is
 * NULL.
 *   Strong  the formula's BIC is more than 10 below both the constant model's
 *           and the linear model's, and more than 2 standard deviations
 *           below the mean of linear fits to shuffled targets;
 *   Weak    it beats the constant model by more than 10 but not all three;
 *   Noise   it does not beat the constant model by more than 10.
 *
 * In plain words: Strong says the formula fits the training rows far better
 * than a constant, a straight line, and straight lines fitted to shuffled
 * targets; Weak that it beats a constant only; Noise that it does not. This
 * compares the formula with fixed models; it is not a significance test, and
 * nothing corrects for the thousands of candidates the formula was picked
 * from. Two properties of the score mislead it:
 *
 * - Rows where the formula is NaN or infinite are left out of its error but
 *   still counted in its BIC, so a formula undefined on the rows hardest to
 *   fit can look decisive. On pure noise the verdict was Strong in about one
 *   run in ten with normal targets and in most runs with heavy-tailed
 *   targets, nearly always with a formula undefined on part of the training
 *   rows; with a formula finite on every training row, Strong was rare.
 * - A mean squared error of exactly 0 scores +inf, like an unusable formula.
 *   The true law of a noiseless data set, written exactly, gets Noise (every
 *   law tried did); the same law with one rounding error gets Strong. A
 *   constant target makes the constant model score +inf and the verdict Weak.
 *
 * On benchmark laws with up to 10% noise it was Strong in about half to two
 * thirds of runs.
 *
 * Before acting on Strong or Weak, check on how many rows the formula is
 * finite, and run a permutation test: the same discovery repeated on copies
 * whose target is permuted (the quorvex command's --permutations N, Python's
 * quorvex.permutation_test). At the 5% level it rejected no more than about
 * 5% of pure-noise data sets and nearly all benchmark-law ones. docs/verdict.md
 * has the measurements and how to reproduce them.
 */
QUORVEX_API int32_t quorvex_report_verdict(const CReport* report) QUORVEX_NOEXCEPT;

/* The number accessors return the report's field exactly as stored, NaN and
 * infinities included, or +0.0 when `report` is NULL (which a caller cannot
 * tell from a stored 0.0). */

/* Mean squared error on the training rows where the formula is finite (NaN if none). */
QUORVEX_API double quorvex_report_mse_train(const CReport* report) QUORVEX_NOEXCEPT;
/* Mean squared error on the test rows where the formula is finite (NaN if none). */
QUORVEX_API double quorvex_report_mse_test(const CReport* report) QUORVEX_NOEXCEPT;
/* BIC of the formula on the training rows (lower is better; +inf if unusable). */
QUORVEX_API double quorvex_report_bic(const CReport* report) QUORVEX_NOEXCEPT;
/* bic minus the constant model's BIC (negative: the formula is better). */
QUORVEX_API double quorvex_report_delta_bic_const(const CReport* report) QUORVEX_NOEXCEPT;
/* bic minus the linear model's BIC (negative: the formula is better). */
QUORVEX_API double quorvex_report_delta_bic_linear(const CReport* report) QUORVEX_NOEXCEPT;
/* (bic - mean null BIC) / std of null BICs; 0.0 when that std is <= 1e-9. */
QUORVEX_API double quorvex_report_z_vs_shuffled(const CReport* report) QUORVEX_NOEXCEPT;

/* Releases a report handle. NULL is ignored. Strings already returned stay
 * valid. Must not overlap another use of the same handle; freeing it twice
 * is undefined. */
QUORVEX_API void quorvex_report_free(CReport* report) QUORVEX_NOEXCEPT;

/* Releases a string returned by this library. NULL is ignored. Any other
 * pointer, or a string released twice, is undefined. */
QUORVEX_API void quorvex_string_free(char* s) QUORVEX_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* QUORVEX_H */
