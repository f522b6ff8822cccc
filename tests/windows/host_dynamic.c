

/*
 * A Windows host that knows quorvex.dll only by its file and its export
 * names: it loads the DLL beside itself with LoadLibraryW, resolves every
 * function with GetProcAddress, runs one discovery on its main thread and
 * the same discovery from two threads made with CreateThread at once, and
 * requires identical reports (wall-clock figure aside). One of the threads
 * first puts the x87 unit in 53-bit precision and SSE in round-toward-zero,
 * the state an MSVC program or a foreign runtime may leave behind: the
 * library must neither depend on nor disturb it. Exits 0 on success.
 */
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

typedef struct CDataset CDataset;
typedef struct CReport CReport;

/* The 18 exports, resolved by name. */
static struct {
  CDataset* (*dataset_new)(const char*);
  int32_t (*dataset_add_feature)(CDataset*, const char*);
  int32_t (*dataset_push_row)(CDataset*, const double*, double);
  size_t (*dataset_n_rows)(const CDataset*);
  void (*dataset_free)(CDataset*);
  CReport* (*discover)(const CDataset*, uint32_t, size_t, uint32_t, uint64_t, double);
  char* (*report_formula)(const CReport*);
  char* (*report_pretty)(const CReport*);
  char* (*report_json)(const CReport*);
  int32_t (*report_verdict)(const CReport*);
  double (*report_mse_train)(const CReport*);
  double (*report_mse_test)(const CReport*);
  double (*report_bic)(const CReport*);
  double (*report_delta_bic_const)(const CReport*);
  double (*report_delta_bic_linear)(const CReport*);
  double (*report_z_vs_shuffled)(const CReport*);
  void (*report_free)(CReport*);
  void (*string_free)(char*);
} q;

static int failures = 0;

#define CHECK(cond)                                                      \
  do {                                                                   \
    if (!(cond)) {                                                       \
      fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                        \
    }                                                                    \
  } while (0)

/* Each field is named after its export without the quorvex_ prefix. FARPROC
 * goes through void (*)(void), the generic function pointer type. */
#define RESOLVE(field)                                                                     \
  do {                                                                                     \
    q.field = (__typeof__(q.field))(void (*)(void))GetProcAddress(dll, "quorvex_" #field); \
    if (q.field == NULL) {                                                                 \
      fprintf(stderr, "GetProcAddress(quorvex_%s) failed\n", #field);                      \
      return 0;                                                                            \
    }                                                                                      \
  } while (0)

static int resolve(HMODULE dll) {
  RESOLVE(dataset_new);
  RESOLVE(dataset_add_feature);
  RESOLVE(dataset_push_row);
  RESOLVE(dataset_n_rows);
  RESOLVE(dataset_free);
  RESOLVE(discover);
  RESOLVE(report_formula);
  RESOLVE(report_pretty);
  RESOLVE(report_json);
  RESOLVE(report_verdict);
  RESOLVE(report_mse_train);
  RESOLVE(report_mse_test);
  RESOLVE(report_bic);
  RESOLVE(report_delta_bic_const);
  RESOLVE(report_delta_bic_linear);
  RESOLVE(report_z_vs_shuffled);
  RESOLVE(report_free);
  RESOLVE(string_free);
  return 1;
}

/* ---- one discovery and its outcome -------------------------------------- */

enum { kRows = 60 };

typedef struct {
  char* json; /* wall-clock figure masked */
  char* pretty;
  char* formula;
  int32_t verdict;
  double numbers[6];
  int fp_state_kept; /* the thread's FP state was the same after the call */
  int foreign_fp_state;
} Outcome;

static unsigned short x87_control_word(void) {
  unsigned short cw;
  __asm__ volatile("fnstcw %0" : "=m"(cw));
  return cw;
}
static void set_x87_control_word(unsigned short cw) { __asm__ volatile("fldcw %0" : : "m"(cw)); }
static unsigned mxcsr(void) {
  unsigned csr;
  __asm__ volatile("stmxcsr %0" : "=m"(csr));
  return csr;
}
static void set_mxcsr(unsigned csr) { __asm__ volatile("ldmxcsr %0" : : "m"(csr)); }

static CDataset* make_dataset(void) {
  CDataset* ds = q.dataset_new("y");
  int i;
  if (ds == NULL) return NULL;
  if (q.dataset_add_feature(ds, "x1") != 0 || q.dataset_add_feature(ds, "x2") != 0) return NULL;
  for (i = 0; i < kRows; ++i) {
    double row[2];
    double wobble = (double)((i * 37) % 11 - 5) / 40.0;
    row[0] = (double)i / 12.0;
    row[1] = (double)((i * 7) % 13) / 4.0 - 1.5;
    /* exp in the target draws exp into the winning formulas, whose last bits
     * follow the x87 precision when the library does not fix it. */
    if (q.dataset_push_row(ds, row, exp(row[0] / 2.0) * row[1] + wobble) != 0) return NULL;
  }
  return ds;
}

/* Replaces the digits of the wall-clock figure in place by one 0. */
static void mask_digits_after(char* s, const char* key) {
  char* p = s == NULL ? NULL : strstr(s, key);
  char* end;
  if (p == NULL) return;
  p += strlen(key);
  end = p;
  while (*end >= '0' && *end <= '9') ++end;
  if (end == p) return;
  *p = '0';
  memmove(p + 1, end, strlen(end) + 1);
}

static void discover(const CDataset* ds, Outcome* out) {
  CReport* r;
  unsigned short cw_before = 0, cw_after = 0;
  unsigned csr_before = 0, csr_after = 0;
  if (out->foreign_fp_state) {
    set_x87_control_word(0x27F); /* 53-bit precision */
    set_mxcsr(0x1F80 | 0x6000);  /* round toward zero */
  }
  cw_before = x87_control_word();
  csr_before = mxcsr();
  r = q.discover(ds, 8, 64, 4, 7, 0.25);
  cw_after = x87_control_word();
  csr_after = mxcsr();
  /* Control bits only: the exception flags (bits 0-5) are sticky status. */
  out->fp_state_kept = cw_before == cw_after && (csr_before & ~0x3Fu) == (csr_after & ~0x3Fu);
  if (out->foreign_fp_state) {
    set_x87_control_word(0x37F);
    set_mxcsr(0x1F80);
  }
  if (r == NULL) return;
  out->json = q.report_json(r);
  mask_digits_after(out->json, "\"wall_clock_ms\": ");
  out->pretty = q.report_pretty(r);
  mask_digits_after(out->pretty, "wall = ");
  out->formula = q.report_formula(r);
  out->verdict = q.report_verdict(r);
  out->numbers[0] = q.report_mse_train(r);
  out->numbers[1] = q.report_mse_test(r);
  out->numbers[2] = q.report_bic(r);
  out->numbers[3] = q.report_delta_bic_const(r);
  out->numbers[4] = q.report_delta_bic_linear(r);
  out->numbers[5] = q.report_z_vs_shuffled(r);
  q.report_free(r);
}

static void release(Outcome* o) {
  q.string_free(o->json);
  q.string_free(o->pretty);
  q.string_free(o->formula);
}

static int same_text(const char* a, const char* b) {
  return a != NULL && b != NULL && strcmp(a, b) == 0;
}

static void check_same(const Outcome* ref, const Outcome* o, const char* who) {
  int same = same_text(ref->json, o->json) && same_text(ref->pretty, o->pretty) &&
             same_text(ref->formula, o->formula) && ref->verdict == o->verdict &&
             memcmp(ref->numbers, o->numbers, sizeof ref->numbers) == 0;
  if (!same) {
    fprintf(stderr, "%s: report differs from the main thread's\n--- main\n%s\n--- %s\n%s\n", who,
            ref->json ? ref->json : "(null)", who, o->json ? o->json : "(null)");
    ++failures;
  }
  if (!o->fp_state_kept) {
    fprintf(stderr, "%s: floating-point state changed by quorvex_discover\n", who);
    ++failures;
  }
}

typedef struct {
  const CDataset* ds;
  Outcome outcome;
} ThreadArg;

static DWORD WINAPI thread_main(LPVOID p) {
  ThreadArg* arg = (ThreadArg*)p;
  discover(arg->ds, &arg->outcome);
  return 0;
}

/* The failure values of the interface, seen through raw function pointers:
 * a wrong return type in the declarations would show here. */
static void check_null_handles(void) {
  const double v[1] = {1.0};
  CHECK(q.dataset_new(NULL) == NULL);
  CHECK(q.dataset_add_feature(NULL, "x") == -1);
  CHECK(q.dataset_push_row(NULL, v, 1.0) == -1);
  CHECK(q.dataset_n_rows(NULL) == 0);
  CHECK(q.discover(NULL, 1, 2, 3, 4, 0.5) == NULL);
  CHECK(q.report_formula(NULL) == NULL);
  CHECK(q.report_pretty(NULL) == NULL);
  CHECK(q.report_json(NULL) == NULL);
  CHECK(q.report_verdict(NULL) == 0);
  CHECK(q.report_mse_train(NULL) == 0.0);
  CHECK(q.report_z_vs_shuffled(NULL) == 0.0);
  q.dataset_free(NULL);
  q.report_free(NULL);
  q.string_free(NULL);
}

int main(void) {
  wchar_t path[MAX_PATH];
  DWORD len = GetModuleFileNameW(NULL, path, MAX_PATH);
  wchar_t* slash;
  HMODULE dll;
  CDataset* ds;
  Outcome main_outcome;
  ThreadArg args[2];
  HANDLE threads[2];
  int i;

  if (len == 0 || len >= MAX_PATH) return 2;
  slash = wcsrchr(path, L'\\');
  if (slash == NULL || (size_t)(slash + 1 - path) + wcslen(L"quorvex.dll") >= MAX_PATH) return 2;
  wcscpy(slash + 1, L"quorvex.dll");
  dll = LoadLibraryW(path);
  if (dll == NULL) {
    fprintf(stderr, "LoadLibraryW failed: %lu\n", (unsigned long)GetLastError());
    return 1;
  }
  if (!resolve(dll)) return 1;

  check_null_handles();
  ds = make_dataset();
  CHECK(ds != NULL);
  if (ds == NULL) return 1;
  CHECK(q.dataset_n_rows(ds) == kRows);

  memset(&main_outcome, 0, sizeof main_outcome);
  discover(ds, &main_outcome);
  CHECK(main_outcome.json != NULL && main_outcome.json[0] == '{');
  CHECK(main_outcome.verdict >= 0 && main_outcome.verdict <= 2);
  CHECK(main_outcome.fp_state_kept);

  /* Both threads read the one dataset handle at the same time. */
  memset(args, 0, sizeof args);
  for (i = 0; i < 2; ++i) {
    args[i].ds = ds;
    args[i].outcome.foreign_fp_state = i == 1;
    threads[i] = CreateThread(NULL, 0, thread_main, &args[i], 0, NULL);
    CHECK(threads[i] != NULL);
  }
  WaitForMultipleObjects(2, threads, TRUE, INFINITE);
  for (i = 0; i < 2; ++i) CloseHandle(threads[i]);
  check_same(&main_outcome, &args[0].outcome, "thread 1");
  check_same(&main_outcome, &args[1].outcome, "thread 2 (53-bit x87, round toward zero)");

  for (i = 0; i < 2; ++i) release(&args[i].outcome);
  release(&main_outcome);
  q.dataset_free(ds);
  CHECK(FreeLibrary(dll));
  if (failures == 0) printf("host_dynamic: all checks passed\n");
  return failures == 0 ? 0 : 1;
}
