/*
 * quorvex_ext: the extended interface of quorvex. Everything a host needs
 * beyond the 18 functions of quorvex.h: both searches (classic and refined)
 * with options, progress callbacks that can stop a search, datasets from
 * columns, every field of a result as a typed value, the front of a refined
 * search, prediction with the library's own evaluator, the permutation test
 * and a readable reason for every failure.
 *
 * It is a second library (libquorvex_ext.so.0, quorvex_ext.dll) with its own
 * handles; it neither needs nor accepts the handles of quorvex.h. The names
 * carry the prefix qvx_ so that both libraries can be loaded into one process,
 * even with global symbol binding, without one name shadowing the other.
 *
 * Conventions that hold for every function
 * ----------------------------------------
 * - Failure is reported through the return value: a status (QVX_OK or one of
 *   the QVX_ERR_ codes below), or NULL, or NaN where a number is returned.
 *   Every function but qvx_last_error, qvx_version and the free functions
 *   sets the calling thread's last-error text: the reason of its failure, or
 *   "" when it succeeded. A call that fails changes nothing the caller can
 *   see, and writes nothing through its output pointers.
 * - Pointer arguments are tested for NULL before anything else.
 * - Strings passed in are NUL-terminated and must be valid UTF-8, strictly,
 *   as in quorvex.h (no overlong forms, no surrogates, nothing above
 *   U+10FFFF); they are read up to their first NUL and copied.
 * - Strings returned are new NUL-terminated UTF-8 buffers owned by the
 *   caller, to be released exactly once with qvx_string_free, unmodified.
 *   (qvx_last_error is the one exception: its text belongs to the library.)
 * - Handles belong to the caller until passed to their free function.
 *   Datasets, results and returned strings have independent lifetimes.
 * - No exception or other fault crosses this interface, whatever the
 *   arguments the documentation allows. A request that cannot fit in the
 *   process's memory (a population, n_shuffles or permutation count too
 *   large) is refused with QVX_ERR_ARGUMENT before any work, by an estimate
 *   that stays below what a search really takes, against the least of
 *   physical memory, the address-space and data limits and the cgroup's
 *   limit; the text names the setting, the memory it needs and the largest
 *   value that fits. Running out of memory otherwise fails the call ("out of
 *   memory") where it can.
 * - Nothing is read from files or the environment but the memory limits
 *   above (on Linux /proc/self/cgroup and the cgroup's files), nothing is
 *   written.
 * - The library computes in one fixed floating-point state and gives the
 *   calling thread its own back, as quorvex.h describes.
 * - Callbacks run on the thread that made the call, between generations (or
 *   permutations); they must not call qvx_ functions that modify the
 *   dataset in use, nor free it.
 *
 * What the library cannot detect (the caller's obligation)
 * --------------------------------------------------------
 * As in quorvex.h: handles it did not create or already freed, arrays
 * shorter than the counts passed with them, pointers to unreadable memory,
 * strings without a NUL, strings modified before qvx_string_free, and a
 * dataset modified while another call uses it. Each is undefined behaviour.
 *
 * Threads
 * -------
 * Distinct handles may be used from different threads at once. Calls that
 * only read a dataset (n_rows, n_features, discover, permutation_test) may run
 * concurrently on one dataset; a call that modifies it (add_feature,
 * push_row, free) must not overlap any other call on it. A result is
 * read-only: any number of threads may read it, but qvx_result_free must not
 * overlap another use. The last-error text is per thread.
 *
 * Worker pools
 * ------------
 * Scoring runs on a process-wide pool of worker threads, one per logical
 * processor, created by the first search and kept until the process ends
 * (the library is never unloaded while it lives), exactly as in quorvex.h.
 * This library holds its own copy of the engine and therefore its own pool:
 * a process that loads both libraries and searches with both has two pools.
 * They are independent (neither can deadlock the other), and each search
 * gives the same bits on either; but two searches running at the same time,
 * one per library, use up to twice as many threads as processors. Sharing
 * one pool would need one library to call into the other's internals, which
 * neither exports. Limit a search with qvx_options.max_threads where that
 * matters. Memory checkers show the pool at exit as quorvex.h explains.
 */
#ifndef QUORVEX_EXT_H
#define QUORVEX_EXT_H

#include <stddef.h>
#include <stdint.h>

#define QVX_VERSION_MAJOR 0
#define QVX_VERSION_MINOR 6
#define QVX_VERSION_PATCH 0
/* The version this header describes, as qvx_version returns it. */
#define QVX_VERSION_NUMBER (QVX_VERSION_MAJOR * 10000 + QVX_VERSION_MINOR * 100 + QVX_VERSION_PATCH)

#if defined(_WIN32) || defined(__CYGWIN__)
#  if defined(QVX_BUILDING_DLL)
#    define QVX_API __declspec(dllexport)
#  elif defined(QVX_STATIC)
#    define QVX_API
#  else
#    define QVX_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__)
#  define QVX_API __attribute__((visibility("default")))
#else
#  define QVX_API
#endif

#ifdef __cplusplus
#  define QVX_NOEXCEPT noexcept
#else
#  define QVX_NOEXCEPT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque dataset: feature names, a target name and rows. */
typedef struct qvx_dataset qvx_dataset;
/* Opaque, read-only result of one discovery. */
typedef struct qvx_result qvx_result;

/* ---- Status codes ---------------------------------------------------------- */

#define QVX_OK 0
/* An argument the call refuses: NULL, invalid UTF-8, a setting out of range,
 * an unknown field or front index. */
#define QVX_ERR_ARGUMENT 1
/* The data cannot serve the request: too few usable rows for a refined
 * search, a formula that is not an expression's JSON, or one that reads a
 * feature the columns lack. */
#define QVX_ERR_DATA 2
/* A callback asked to stop and there is no result to give (a classic search
 * or a permutation test stopped before its end). */
#define QVX_STOPPED 3

/*
 * The reason the calling thread's last failing call failed, in English, or ""
 * after a call that succeeded. Never NULL. The text belongs to the library:
 * do not free it; it stays valid until the calling thread's next qvx_ call.
 */
QVX_API const char* qvx_last_error(void) QVX_NOEXCEPT;

/* The library's version, major * 10000 + minor * 100 + patch; compare it
 * with QVX_VERSION_NUMBER to learn whether the header and the library match. */
QVX_API uint32_t qvx_version(void) QVX_NOEXCEPT;

/* ---- Datasets ---------------------------------------------------------------- */

/*
 * Creates an empty dataset whose target is called `target_name`.
 * Returns a new handle (release with qvx_dataset_free), or NULL when
 * `target_name` is NULL or not valid UTF-8.
 */
QVX_API qvx_dataset* qvx_dataset_new(const char* target_name) QVX_NOEXCEPT;

/*
 * Creates a dataset from columns in one call: n_features feature columns
 * called names[0..n_features), column j holding columns[j][0..n_rows), and
 * the targets target[0..n_rows). The same dataset as qvx_dataset_new, one
 * qvx_dataset_add_feature per name and one qvx_dataset_push_row per row:
 * repeated names are kept, and a repeated name reads the later column.
 * `names` and `columns` may be NULL only when n_features is 0, `target` and
 * every columns[j] only when n_rows is 0. Values are stored unchanged, NaN
 * and infinities included.
 * Returns a new handle, or NULL when a pointer that must not be NULL is NULL
 * or a name (or `target_name`) is not valid UTF-8.
 */
QVX_API qvx_dataset* qvx_dataset_from_columns(const char* target_name, size_t n_features,
                                              const char* const* names,
                                              const double* const* columns,
                                              const double* target, size_t n_rows) QVX_NOEXCEPT;

/* Appends a feature column called `name`, as quorvex_dataset_add_feature does
 * (rows pushed before read 0.0 for it). Returns QVX_OK, or QVX_ERR_ARGUMENT
 * when `ds` or `name` is NULL or `name` is not valid UTF-8. */
QVX_API int32_t qvx_dataset_add_feature(qvx_dataset* ds, const char* name) QVX_NOEXCEPT;

/* Appends one row: values[i] for the i-th feature added, exactly as many as
 * there are features now (none read when there are none, but `values` must
 * not be NULL), and the target. Returns QVX_OK, or QVX_ERR_ARGUMENT when
 * `ds` or `values` is NULL. */
QVX_API int32_t qvx_dataset_push_row(qvx_dataset* ds, const double* values,
                                     double target) QVX_NOEXCEPT;

/* Rows pushed so far; 0 when `ds` is NULL (last error set). */
QVX_API size_t qvx_dataset_n_rows(const qvx_dataset* ds) QVX_NOEXCEPT;
/* Feature names added so far, repeats included; 0 when `ds` is NULL. */
QVX_API size_t qvx_dataset_n_features(const qvx_dataset* ds) QVX_NOEXCEPT;

/*
 * Gives the rows pushed so far the weights weights[0..n_rows), n_rows being
 * qvx_dataset_n_rows(ds); rows pushed later weigh 1. Weights are frequency
 * weights: a row of weight 2 counts as that row given twice, a row of
 * weight 0 as no row at all, and fractions count in proportion. A refined
 * search then fits and scores by weighted least squares: each error below
 * (QVX_MSE_TRAIN, the front's, the baselines') is the weighted mean of the
 * squared errors, and the BIC's n is the training rows' sum of weights
 * (the JSON report's "weight_sum"). Scale matters: weights ten times larger
 * are ten times the evidence; weights meant only as relative precisions
 * (1/variance) are best scaled to average 1. A classic search refuses a
 * weighted dataset. n_rows 0 (weights may then be NULL) removes the weights.
 * Returns QVX_OK, or QVX_ERR_ARGUMENT (changing nothing) when `ds` is NULL,
 * n_rows is neither 0 nor the dataset's row count, `weights` is NULL with
 * n_rows > 0, or a weight is negative, NaN or infinite (the text names the
 * first such row). Added in 0.5.
 */
QVX_API int32_t qvx_dataset_set_weights(qvx_dataset* ds, const double* weights,
                                        size_t n_rows) QVX_NOEXCEPT;

/*
 * Declares the physical units of the features and the target for refined
 * searches: feature_units[0..n_units) one per feature added (the order of
 * qvx_dataset_add_feature; a name added twice needs the same unit twice),
 * target_unit the target's. A unit is a product of powers of the SI base
 * units kg m s A K mol cd or the derived Hz N Pa J W C V F Ohm S Wb T H,
 * joined by '*', '/' (dividing by the next factor alone) or spaces, each
 * with an optional exponent '^' (or '**'): a whole number or a fraction in
 * parentheses, e.g. "kg*m/s^2", "m s^-2", "m^(1/2)", "1/s"; "1" for a pure
 * number. A refined search then reports only formulas whose units agree:
 * sums of equal units, pure numbers inside exp, log, sin, cos and tanh, the
 * target's unit overall. A constant added to a quantity (an offset, such as
 * the intercept a of a + b*f) has that quantity's unit; of the other
 * constants, up to
 * dimensional_constants (0 to 3) may carry a unit of their own, solved for
 * so that the formula agrees (the b of the scaling a + b*f is one: so enter
 * G or k_B when the data lack them); the rest are pure numbers. The report
 * gives the units (QVX_JSON "units", each constant's "units"). The texts are
 * read during the call and not kept. Both feature_units and target_unit
 * NULL removes the units. The classic search refuses a dataset with units.
 * Returns QVX_OK, or QVX_ERR_ARGUMENT (changing nothing) when `ds` is NULL,
 * n_units is not the feature count, a text is NULL or not a unit (the
 * message names the column and the character position), or
 * dimensional_constants is above 3. Added in 0.6.
 */
QVX_API int32_t qvx_dataset_set_units(qvx_dataset* ds, const char* const* feature_units,
                                      size_t n_units, const char* target_unit,
                                      uint32_t dimensional_constants) QVX_NOEXCEPT;

/* Releases the dataset; NULL is ignored. Results made from it stay valid. */
QVX_API void qvx_dataset_free(qvx_dataset* ds) QVX_NOEXCEPT;

/* ---- Options ------------------------------------------------------------------- */

#define QVX_SEARCH_REFINED 0
#define QVX_SEARCH_CLASSIC 1

/*
 * The settings of a discovery. `size` comes first so that the record can grow
 * without breaking hosts built against an older header: always fill it with
 * qvx_options_init, then change what you need. Members added by later
 * versions will go at the end and will take 0 to mean their default; a
 * library given a record larger than it knows accepts it when the bytes it
 * does not know are all zero.
 */
typedef struct qvx_options {
  size_t size;           /* sizeof(qvx_options) as the host was built */
  int32_t search;        /* QVX_SEARCH_REFINED or QVX_SEARCH_CLASSIC */
  uint32_t generations;  /* at least 1; refined: a cap, most runs stop earlier */
  size_t population;     /* at least 1 */
  uint32_t max_depth;    /* at least 1; budgets above 64 act as 64 */
  uint64_t seed;         /* any value; 0 is an ordinary seed */
  double test_fraction;  /* strictly between 0 and 1 */
  size_t n_shuffles;     /* shuffled-target nulls of the baselines, at least 2 */
  /* Refined only (a classic search needs all three 0): */
  double time_limit;       /* seconds of wall clock, then the best so far; 0: none */
  uint32_t patience;       /* generations without improvement before stopping; 0: never */
  /* Once the best formula is exact: generations without a lower BIC (up to
   * four times as many when that formula fits more than 4 constants). */
  uint32_t exact_patience;
  /* Threads that score, the caller included; 0: the whole pool. Results do
   * not depend on it. */
  size_t max_threads;
  /* Refined only (a classic search, whose operators are fixed, needs NULL):
   * the operators formulas may be built from, and the complexity each adds
   * to a formula (its share of the BIC's k). NULL: the default set,
   *   "+,-,*,/,pow,exp,log,sqrt,sin,cos"   every weight 1
   * (tanh and abs only when named). Otherwise a list "name[:weight], ..."
   * of names from  + - * / pow exp log sqrt sin cos tanh abs  (or add, sub,
   * mul, div for the first four), each at most once, and weights whole
   * numbers from 1 to 100 (1 when left out); spaces and tabs around names
   * and weights are ignored. Example: "+, *, sin:2, cos:2". The text is read
   * during the call and not kept. Whatever the set, the least-squares
   * scaling a + b*f of every candidate stays available. Added in 0.3: a host
   * built against an older header passes a smaller size and gets the
   * default set. */
  const char* operators;
  /* Refined only (a classic search needs 0): which independently seeded
   * search of one discovery this is. 0 is the ordinary search; any other
   * value draws the search's random choices from a stream of its own, while
   * the rows, split, baselines and error floor stay those of `seed`. Run
   * starts 0 .. K-1 anywhere (threads, processes, machines) and give their
   * JSON reports to qvx_merge_starts for one report. Added in 0.4: a host
   * built against an older header passes a smaller size and gets start 0. */
  uint32_t start;
  /* Refined only (a classic search needs NULL): a warm start. A JSON report
   * of an earlier discovery (qvx_result_text with QVX_JSON; a refined
   * report's whole front is read, a classic one's formula) or an expression
   * JSON. Its formulas join the first population, and each is scored again
   * on this discovery's training rows and kept on the front where it beats
   * what the search found: with the same data, seed, test_fraction and
   * operators the result's BIC is never above the earlier best, however
   * short the new search. Formulas outside the operator set are not used.
   * NULL: none. The text is read during the call and not kept. A formula
   * reading a feature the dataset lacks gives QVX_ERR_DATA; a text that is
   * not such JSON, QVX_ERR_ARGUMENT. Added in 0.5: a host built against an
   * older header passes a smaller size and gets none. */
  const char* start_from;
} qvx_options;

/*
 * Fills the first `size` bytes of *options with the defaults of `search`
 * and sets options->size to `size`; pass sizeof(qvx_options).
 *   refined: generations 300, population 1000, max_depth 4, seed 0,
 *            test_fraction 0.2, n_shuffles 30, time_limit 0, patience 25,
 *            exact_patience 8, max_threads 0, operators NULL, start 0,
 *            start_from NULL;
 *   classic: generations 40, population 200, max_depth 4, seed 0,
 *            test_fraction 0.2, n_shuffles 30, the refined-only members 0
 *            and NULL, max_threads 0 -- the settings of quorvex_discover
 *            with zero arguments.
 * Bytes beyond the record this library knows are set to 0. `size` is either
 * a version of the record (the first one, which ends with max_threads, the
 * second, which ends with operators, the third, which ends with start, or
 * this one) or larger than this one.
 * Returns QVX_OK, or QVX_ERR_ARGUMENT (writing nothing) when `options` is
 * NULL, `size` is smaller than the first version of the record or falls
 * inside a member, or `search` is neither search.
 */
QVX_API int32_t qvx_options_init(qvx_options* options, size_t size, int32_t search) QVX_NOEXCEPT;

/* ---- Discovery ------------------------------------------------------------------ */

/*
 * Called after each generation with the generations done, the configured
 * number (the cap, for a refined search), the seconds since the search began
 * and the best BIC so far (classic: that generation's best score; refined:
 * the front's lowest BIC). A refined search also calls it at least once a
 * second within a long generation (the same count again), and between the
 * steps before the first generation and after the last when they are long
 * (large data; count 0 before, best_bic +inf until a front exists), so that
 * a stop is heard promptly; a stop before the first generation leaves only
 * the constant model and the line to report. Return 0 to go on, anything
 * else to stop. Always on the thread that called qvx_discover.
 */
typedef int32_t (*qvx_progress_fn)(void* user, uint32_t generation, uint32_t generations,
                                   double elapsed, double best_bic);

/*
 * Runs one discovery on a copy of the dataset's current content, blocking
 * until it ends, and stores a new result in *out (release with
 * qvx_result_free).
 *
 * classic  The search of quorvex_discover: with the settings of
 *          qvx_options_init(QVX_SEARCH_CLASSIC) changed only in generations,
 *          population, max_depth, seed and test_fraction, the text and JSON
 *          renderings are byte for byte those of quorvex_discover with the
 *          same five arguments (wall-clock figure aside). Returning non-zero
 *          from `progress` abandons it: the call returns QVX_STOPPED and no
 *          result, since a classic search cut short is not a classic result.
 *          A dataset with no usable rows still gives a result (verdict Noise),
 *          as in quorvex.h. A weighted dataset (qvx_dataset_set_weights)
 *          is refused: the classic search weighs every row 1.
 * refined  Rows whose target or a feature value is NaN or infinite are set
 *          aside (and counted), rows of weight 0 are left out (and not
 *          counted); the rest are split, and the search returns
 *          its front of the best formula per complexity, simplified. It stops
 *          at the generation cap, after `patience` generations without an
 *          improvement, once exact, at the time limit, or when `progress`
 *          returns non-zero; each gives a normal result, and its stop reason
 *          says which. Fewer than 5 usable rows, or fewer than 3 of them for
 *          training, give QVX_ERR_DATA. With a time limit the result depends
 *          on the machine's speed; without one, equal data, options and seed
 *          give the same result on every run and any number of threads.
 *
 * `progress` may be NULL; `user` is passed to it unchanged.
 * Returns QVX_OK, QVX_ERR_ARGUMENT (a NULL `ds`, `options` or `out`, a
 * `size` below the first version, a setting out of range or a population or
 * n_shuffles whose memory cannot be had: the last-error text names it; an operators text that is not valid UTF-8 or not such a
 * list: the last-error text says why, as "operators: unknown operator
 * \"sinh\"; known: ..."; operators or start_from that are not NULL, or a
 * weighted dataset, for a classic search; a start_from that is not JSON),
 * QVX_ERR_DATA or QVX_STOPPED; *out is written only with QVX_OK.
 */
QVX_API int32_t qvx_discover(const qvx_dataset* ds, const qvx_options* options,
                             qvx_progress_fn progress, void* user, qvx_result** out) QVX_NOEXCEPT;

/*
 * One report from several starts of one refined discovery. reports_json[0..k)
 * are the JSON reports (qvx_result_text with QVX_JSON) of refined
 * qvx_discover runs on this dataset with these options, each with its own
 * options->start (this call does not read options->start), run anywhere and
 * in any order. Every formula of their fronts is scored again on the training
 * rows the options give, the best of each complexity is kept (equal errors
 * resolved by the formula's JSON, so the order of the reports does not
 * matter), entries a simpler one matches are dropped, and the lowest BIC is
 * judged against the baselines once, as qvx_discover judges one search's.
 * The result is a refined result like qvx_discover's, whose
 *   generations    is the sum of the starts' generations,
 *   wall-clock ms  the sum of the starts' and the merge's own,
 *   stop reason    the least conclusive of the starts': stopped by caller,
 *                  then time limit, generations, no improvement, exact fit.
 * Starts 0 .. K-1 merged give, for equal data, options and K, the same
 * result (wall-clock figure aside) wherever and in whatever order they ran;
 * the merged front's best BIC is never above any start's. One report of
 * start 0 merged alone gives that report again (wall-clock figure aside).
 * Returns QVX_OK; QVX_ERR_ARGUMENT as for qvx_discover, for a classic
 * search, a NULL `reports_json` or reports_json[i], k = 0 or a report that is
 * not valid UTF-8; QVX_ERR_DATA as for qvx_discover, and for a report that
 * is not a refined JSON report, or one of a discovery on other rows or
 * operators (its n_train, mse_floor or operators differ), or a formula
 * reading a feature the dataset lacks. *out is written only with QVX_OK.
 */
QVX_API int32_t qvx_merge_starts(const qvx_dataset* ds, const qvx_options* options,
                                 const char* const* reports_json, size_t k,
                                 qvx_result** out) QVX_NOEXCEPT;

/* ---- Results ---------------------------------------------------------------------- */

/* Fields of qvx_result_number (doubles, stored exactly, NaN and infinities
 * included). */
#define QVX_MSE_TRAIN 0         /* error on the training rows where the formula is finite */
#define QVX_MSE_TEST 1          /* the same on the test rows (NaN if none) */
#define QVX_BIC 2               /* the formula's BIC (lower is better) */
#define QVX_DELTA_BIC_CONST 3   /* bic minus the constant model's */
#define QVX_DELTA_BIC_LINEAR 4  /* bic minus the linear model's */
#define QVX_Z_VS_SHUFFLED 5     /* (bic - mean null BIC) / null std; 0 when std <= 1e-9 */
#define QVX_BIC_CONST 6         /* the constant model's BIC */
#define QVX_BIC_LINEAR 7        /* the linear model's BIC */
#define QVX_BIC_SHUFFLED_MEAN 8 /* mean BIC of linear fits to shuffled targets */
#define QVX_BIC_SHUFFLED_STD 9  /* their standard deviation */
/* Share of the (cleaned) training and test rows on which the formula is
 * finite; 1 for a refined result's training rows by construction. NaN for a
 * classic result without rows. */
#define QVX_FINITE_SHARE 10
/* Refined: the error below which a fit counts as exact; classic: 0. */
#define QVX_MSE_FLOOR 11
/* Refined: share of 4096 points, drawn uniformly (seeded by the options'
 * seed) in the box the training rows span in the features the formula reads,
 * on which the formula is finite. Below 1, the formula is undefined somewhere
 * inside the range of its own data, between or beside the rows (a log of 0, a
 * division by 0): it may be an artefact of where the rows fell. Classic: NaN.
 * Added in 0.5. */
#define QVX_DOMAIN_SHARE 12

/* Fields of qvx_result_count. */
#define QVX_SEARCH 0         /* QVX_SEARCH_REFINED or QVX_SEARCH_CLASSIC */
#define QVX_K 1              /* the formula's k (refined: its complexity) */
#define QVX_N_TRAIN 2        /* training rows */
#define QVX_N_TEST 3         /* test rows */
#define QVX_ROWS_SET_ASIDE 4 /* refined: rows with a non-finite value; classic: 0 */
#define QVX_GENERATIONS 5    /* generations run */
#define QVX_FRONT_SIZE 6     /* entries of the front; classic: 0 */
#define QVX_WALL_CLOCK_MS 7  /* the search's duration in milliseconds */
/* Why the search ended: 0 its generations, 1 patience, 2 an exact fit held
 * for exact_patience generations, 3 the time limit, 4 the callback. A
 * classic search always runs its generations (0). */
#define QVX_STOP_REASON 8
/* Refined: the constants of the formula, read with qvx_constant_number;
 * classic: 0. Added in 0.5. */
#define QVX_N_CONSTANTS 9

/* Fields of qvx_result_text. */
#define QVX_FORMULA 0        /* the best formula, as quorvex_report_formula */
#define QVX_EXPR_JSON 1      /* its expression JSON, the input of qvx_predict */
#define QVX_SIMPLIFIED 2     /* the formula simplified (refined: already is) */
#define QVX_PRETTY 3         /* the text report (see below) */
#define QVX_JSON 4           /* the JSON report (see below) */
#define QVX_VERDICT_REASON 5 /* "ΔBIC vs const = ..., vs linear = ..., z vs shuffled = ..." */
#define QVX_STOP_NAME 6      /* "generations", "no improvement", "exact fit", "time limit", "stopped by caller" */
#define QVX_LATEX 7          /* the best formula as LaTeX (refined: as displayed) */

/*
 * The verdict: 2 Strong, 1 Weak, 0 Noise, by the rule quorvex.h describes
 * (for a refined result, against baselines on the same cleaned training
 * rows); -1 when `result` is NULL.
 */
QVX_API int32_t qvx_result_verdict(const qvx_result* result) QVX_NOEXCEPT;

/* A QVX_ number field; NaN when `result` is NULL or `field` unknown (the
 * last-error text tells them from a stored NaN). */
QVX_API double qvx_result_number(const qvx_result* result, int32_t field) QVX_NOEXCEPT;

/* A QVX_ count field; 0 when `result` is NULL or `field` unknown (see the
 * last-error text). */
QVX_API uint64_t qvx_result_count(const qvx_result* result, int32_t field) QVX_NOEXCEPT;

/*
 * A QVX_ text field as a new string (release with qvx_string_free), or NULL
 * when `result` is NULL or `field` unknown.
 *
 * Renderings of a classic result: exactly quorvex_report_pretty and
 * quorvex_report_json.
 *
 * Renderings of a refined result: the formula is displayed as a scientist
 * writes it (docs/refined.md: a normal form checked on every training row,
 * constants of at most 6 significant digits, few parentheses, "3.4*S/(S + 0.7)",
 * "3.2*x^1.7"); the expression JSON keeps every constant's full precision.
 * The text report is the classic one's thirteen lines followed by
 *   "simplified: <formula>" (only when it differs from the formula line),
 *   "rows set aside : <n>   finite share : <share, 4 decimals>",
 *   "generations : <n> (<stop name>)",
 *   "operators : <the set searched, as in the JSON report>",
 *   "constants : <value> ± <std_error>, ..." (each with 4 significant digits,
 *                " (interval includes 0)" after those flagged below;
 *                "constants : none" for a formula without constants),
 *   "domain share : <QVX_DOMAIN_SHARE, 4 decimals> of the training data's box",
 *   "weights : <the training rows' sum of weights, 4 decimals> summed over the
 *   training rows (the n of every BIC)" (weighted datasets only),
 *   the front table, as the command prints it: a heading line, a column
 *   line, then one line per entry shown (the constant model first, the
 *   reported one marked "*"; docs/refined.md tells which are left out),
 * each ending in "\n". The JSON report is one object, indented by two spaces,
 * without a trailing line feed: the fifteen members of the classic report in
 * their order (formula, expr_json, k, mse_train, mse_test, bic, baselines,
 * delta_bic_const, delta_bic_linear, z_vs_shuffled, verdict, verdict_reason,
 * n_train, n_test, wall_clock_ms), then
 *   "search": "refined",
 *   "rows_set_aside": integer,
 *   "finite_share": number,
 *   "generations": integer,
 *   "stop_reason": one of the QVX_STOP_NAME texts,
 *   "mse_floor": number,
 *   "operators": the set searched, canonical: the names in the order of
 *                the options' list above, comma-separated without spaces,
 *                ":<weight>" after those whose weight is not 1, as
 *                "+,-,*,/,pow,exp,log,sqrt,sin,cos" or "+,*,sin:2";
 *                the options' operators text reads it back,
 *   "weight_sum": number, weighted datasets only: the training rows' sum
 *                 of weights, the n of every BIC,
 *   "front": [ {"complexity": integer, "mse_train": number,
 *               "mse_test": number, "bic": number, "formula": string,
 *               "latex": string, "expr_json": string}, ... ] by
 *             increasing complexity,
 *   "constants": [ {"value": number, "std_error": number}, ... ] the
 *                formula's constants in the order of qvx_constant_number,
 *   "domain_share": number (QVX_DOMAIN_SHARE).
 * NaN and infinities are null, as in the classic report.
 */
QVX_API char* qvx_result_text(const qvx_result* result, int32_t field) QVX_NOEXCEPT;

/* Fields of qvx_front_number. */
/* The entry's complexity: 1 per leaf and each operator's weight, scaling
 * included (with every weight 1, the nodes of the tree). */
#define QVX_FRONT_COMPLEXITY 0
#define QVX_FRONT_MSE_TRAIN 1
#define QVX_FRONT_MSE_TEST 2
#define QVX_FRONT_BIC 3

/* A number of front entry `index` (0 .. QVX_FRONT_SIZE - 1, by increasing
 * complexity); NaN when `result` is NULL, `index` out of range or `field`
 * unknown. */
QVX_API double qvx_front_number(const qvx_result* result, size_t index,
                                int32_t field) QVX_NOEXCEPT;

/* The formula (QVX_FORMULA, as displayed), its LaTeX (QVX_LATEX) or the
 * expression JSON (QVX_EXPR_JSON) of front entry `index` as a new string, or
 * NULL as for qvx_front_number. */
QVX_API char* qvx_front_text(const qvx_result* result, size_t index, int32_t field) QVX_NOEXCEPT;

/* Fields of qvx_constant_number. */
#define QVX_CONSTANT_VALUE 0
#define QVX_CONSTANT_STD_ERROR 1

/*
 * A number of constant `index` (0 .. QVX_N_CONSTANTS - 1) of a refined
 * result's formula: its constants are the numbers of its expression JSON
 * ("Const" leaves) in the order they appear there. QVX_CONSTANT_VALUE is the
 * fitted value; QVX_CONSTANT_STD_ERROR its standard error as least squares
 * estimates it: the square root of the diagonal of s^2 (J^T J)^-1, J the
 * derivatives of the formula's values on the n training rows with respect to
 * its p constants, s^2 = (sum of squared residuals) / (n - p). It is NaN when
 * n <= p or a derivative or residual is not finite, and +inf for a constant
 * the rows cannot tell apart from others (J^T J singular, or nearly: an
 * eigenvalue below 1e-12 of the largest after scaling each constant's column
 * to unit length) or on which the values do not depend. The reports flag a
 * constant whose 95% interval, value +- 1.96 * std_error, holds 0 (an
 * infinite std_error included): the data do not show that it is needed. A
 * classic result has no constants. NaN when `result` is NULL, `index` out of
 * range or `field` unknown. Added in 0.5.
 */
QVX_API double qvx_constant_number(const qvx_result* result, size_t index,
                                   int32_t field) QVX_NOEXCEPT;

/* Releases a result; NULL is ignored. Strings already returned stay valid. */
QVX_API void qvx_result_free(qvx_result* result) QVX_NOEXCEPT;

/* Releases a string returned by this library (not one from quorvex.h, nor
 * qvx_last_error's). NULL is ignored. */
QVX_API void qvx_string_free(char* s) QVX_NOEXCEPT;

/* ---- Prediction ------------------------------------------------------------------ */

/*
 * Evaluates a formula on n_rows rows given as columns and writes
 * out[0..n_rows). `formula_json` is an expression's JSON (QVX_EXPR_JSON,
 * quorvex_report_json's "expr_json") or a whole JSON report of either
 * interface, whose "expr_json" is used. Column j, called names[j], holds
 * columns[j][0..n_rows); a repeated name reads the later column, and columns
 * the formula does not read are ignored. The values are those of the
 * library's own evaluator, bit for bit: where the formula is undefined (a
 * divisor below 1e-300 in magnitude, log of x <= 0, sqrt of x < 0, 0 to a
 * negative power) the value is NaN.
 * `names`, `columns` may be NULL only when n_features is 0, each columns[j]
 * and `out` only when n_rows is 0.
 * JSON nested up to 2000 levels deep is read (the expression inside a
 * report's "expr_json" counts its own levels); deeper is QVX_ERR_DATA.
 * Reading, evaluating and freeing the formula recurse at most 64 levels: at
 * the limit a call needs under 20 KiB of stack, so any thread's stack (musl's
 * 128 KiB included) suffices.
 * Returns QVX_OK; QVX_ERR_ARGUMENT for a NULL that is not allowed or a string
 * that is not valid UTF-8; QVX_ERR_DATA when `formula_json` is not such a
 * document or the formula reads a feature not among `names` (out is then
 * not written).
 */
QVX_API int32_t qvx_predict(const char* formula_json, size_t n_features, const char* const* names,
                            const double* const* columns, size_t n_rows,
                            double* out) QVX_NOEXCEPT;

/* ---- Permutation test --------------------------------------------------------------- */

/* Called after each permuted discovery with the number done and the total.
 * Return 0 to go on, anything else to stop (the test then gives no p-value). */
typedef int32_t (*qvx_permutation_fn)(void* user, size_t done, size_t total);

/*
 * How often the search finds, on data whose target is permuted, a formula
 * scoring at least as well as the real one: the same discovery is run again
 * on n_permutations copies of the dataset, copy i (from 1) with its targets
 * permuted by the library's own shuffle seeded with the i-th output of
 * SplitMix64 started at options->seed, with the same options. The p-value is
 * (1 + the number of null BICs <= real_bic) / (n_permutations + 1); a NaN
 * real_bic gives 1. The quorvex command's --permutations and Python's
 * quorvex.permutation_test follow the same rule for the classic search, so
 * every host gets the same p-value. A refined test first sets aside the rows
 * a refined discovery sets aside and permutes the targets of the rest.
 *
 * `real_bic` is the real result's QVX_BIC, from a qvx_discover with the same
 * dataset and options. null_bics, when not NULL, receives the n_permutations
 * null BICs in permutation order; *p_value the p-value. 0 permutations give
 * a p-value of 1. The cost is n_permutations discoveries.
 * Weights stay with their rows; the targets alone are permuted. Every
 * permuted discovery starts afresh: options->start_from must be NULL.
 * Returns QVX_OK; QVX_ERR_ARGUMENT as for qvx_discover, for a NULL
 * `p_value`, a start_from that is not NULL, or for an n_permutations whose null BICs cannot fit in memory; QVX_ERR_DATA as for qvx_discover; QVX_STOPPED when `progress`
 * asked to stop (nothing is written then).
 */
QVX_API int32_t qvx_permutation_test(const qvx_dataset* ds, const qvx_options* options,
                                     double real_bic, size_t n_permutations,
                                     qvx_permutation_fn progress, void* user, double* null_bics,
                                     double* p_value) QVX_NOEXCEPT;

/*
 * The dataset permuted discovery `permutation` (1 .. n_permutations) of
 * qvx_permutation_test runs on, with the same `options`: all rows for a
 * classic search, the rows a refined discovery keeps for a refined one, with
 * the targets permuted as that test permutes them. qvx_discover on it with
 * the same options gives the test's null_bics[permutation - 1], bit for bit,
 * so a host can spread the permuted discoveries over processes or machines
 * and still get the library's p-value rule applied to the library's nulls.
 * Returns a new handle (release with qvx_dataset_free), or NULL when `ds` is
 * NULL, the options are refused as by qvx_discover, or `permutation` is 0
 * (the last-error text says which).
 */
QVX_API qvx_dataset* qvx_permuted_dataset(const qvx_dataset* ds, const qvx_options* options,
                                          size_t permutation) QVX_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* QUORVEX_EXT_H */
