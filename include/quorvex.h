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
 *   U+10FFFF). The empty string is valid. The library copies them; it never
 *   keeps a pointer into host memory after a call returns.
 * - Strings returned are new NUL-terminated UTF-8 buffers owned by the caller,
 *   to be released exactly once with quorvex_string_free, unmodified.
 * - Handles belong to the caller until passed to their free function.
 *   Dataset handles, report handles and returned strings have independent
 *   lifetimes: none refers to another.
 * - No exception or other fault crosses this interface. Running out of memory
 *   terminates the process.
 * - Nothing is read from files or the environment, nothing is written.
 *
 * What the library cannot detect (the caller's obligation)
 * --------------------------------------------------------
 * - a handle it did not create, or one already freed (including a double free);
 * - a `values` array shorter than the dataset's feature count;
 * - a returned string that was modified before quorvex_string_free, or a
 *   pointer passed to quorvex_string_free that the library did not return;
 * - a dataset handle modified while another call uses it.
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
 * lives). Tools that report memory still reachable at exit will show it.
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
 * when `target_name` is NULL or not valid UTF-8. "" is a valid name.
 */
QUORVEX_API CDataset* quorvex_dataset_new(const char* target_name) QUORVEX_NOEXCEPT;

/*
 * Appends a feature column called `name` (copied) to the feature list.
 * Empty names and repeated names are accepted: a name listed twice keeps both
 * entries in the list, and rows pushed afterwards keep the value given at the
 * later position. Rows pushed before this call read 0.0 for the new feature.
 * Returns 0, or -1 (changing nothing) when `ds` or `name` is NULL or `name`
 * is not valid UTF-8.
 */
QUORVEX_API int32_t quorvex_dataset_add_feature(CDataset* ds, const char* name) QUORVEX_NOEXCEPT;

/*
 * Appends one row: values[i] is the value of the i-th feature added (counting
 * from 0), and exactly as many values are read as there are features now;
 * `target` is the observed target. NaN and infinities are stored unchanged.
 * `values` must not be NULL even when there are no features.
 * Returns 0, or -1 (changing nothing) when `ds` or `values` is NULL.
 * A `values` array shorter than the feature count cannot be detected.
 */
QUORVEX_API int32_t quorvex_dataset_push_row(CDataset* ds, const double* values, double target) QUORVEX_NOEXCEPT;

/* Returns the number of rows pushed so far, or 0 when `ds` is NULL. */
QUORVEX_API size_t quorvex_dataset_n_rows(const CDataset* ds) QUORVEX_NOEXCEPT;

/* Releases the dataset. NULL is ignored. Reports made from it stay valid. */
QUORVEX_API void quorvex_dataset_free(CDataset* ds) QUORVEX_NOEXCEPT;

/* ---- Discovery ----------------------------------------------------------- */

/*
 * Runs one discovery on a copy of the dataset's current content and blocks
 * until it is finished. Later changes to the dataset, or freeing it, do not
 * affect the report.
 *
 * Arguments, with their substitutions (no upper bound is applied):
 *   generations    0 means 40
 *   population     0 means 200
 *   max_depth      0 means 4 (depth budgets above 64 are treated as 64)
 *   seed           used as given; 0 is an ordinary seed
 *   test_fraction  used when 0 < test_fraction < 1, otherwise 0.2
 *                  (this covers 0, 1, negatives, infinities and NaN)
 * A discovery always uses 30 shuffled-target nulls, niches and restarts on
 * stagnation, and writes nothing.
 *
 * Equal dataset content, arguments and seed give the same report, bit for
 * bit, apart from the wall-clock figure, whatever the number of threads.
 * Returns a new report handle, to be released with quorvex_report_free, or
 * NULL when `ds` is NULL.
 */
QUORVEX_API CReport* quorvex_discover(const CDataset* ds, uint32_t generations, size_t population,
                                      uint32_t max_depth, uint64_t seed, double test_fraction) QUORVEX_NOEXCEPT;

/* ---- Reports ------------------------------------------------------------- */

/*
 * The best formula as text, e.g. "((x * 2.0000e0) + y)".
 * Returns a new string (release with quorvex_string_free), or NULL when
 * `report` is NULL.
 */
QUORVEX_API char* quorvex_report_formula(const CReport* report) QUORVEX_NOEXCEPT;

/*
 * The thirteen-line text report, each line ending in "\n".
 * Returns a new string (release with quorvex_string_free), or NULL when
 * `report` is NULL.
 */
QUORVEX_API char* quorvex_report_pretty(const CReport* report) QUORVEX_NOEXCEPT;

/*
 * The report as a JSON object with fifteen members in a fixed order, indented
 * by two spaces, without a trailing line feed. NaN and infinities are null.
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
 */
QUORVEX_API int32_t quorvex_report_verdict(const CReport* report) QUORVEX_NOEXCEPT;

/* The number accessors return the report's field exactly as stored, NaN and
 * infinities included, or 0.0 when `report` is NULL. */

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

/* Releases a report handle. NULL is ignored. Strings already returned stay valid. */
QUORVEX_API void quorvex_report_free(CReport* report) QUORVEX_NOEXCEPT;

/* Releases a string returned by this library. NULL is ignored. */
QUORVEX_API void quorvex_string_free(char* s) QUORVEX_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* QUORVEX_H */
