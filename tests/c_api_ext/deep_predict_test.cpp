// qvx_predict on expressions at the nesting limit, run on threads with small
// stacks (128 KiB, as musl's default; macOS gives secondary threads 512 KiB).
// Reading, compiling, evaluating and freeing must not recurse per level: the
// stack a prediction uses is measured and must stop growing with the depth
// (about 17 KiB at the limit; 39 KiB under ASan).
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "quorvex_ext.h"

namespace {

constexpr size_t kLimit = 2000;  // the deepest nesting qvx_predict reads
constexpr unsigned char kUnused = 0xA5;

// Under ASan a call's fixed cost is about four times larger (redzones in
// every frame), about 40 KiB: the same stack still holds it with margin.
constexpr size_t kStack = 128 * 1024;

struct Thread {
  std::function<void()> body;
};

void* run_body(void* arg) {
  static_cast<Thread*>(arg)->body();
  return nullptr;
}

// The bytes the stack's untouched low end still holds, read without ASan's
// checks (a frame's redzones may still be poisoned after the thread ends).
__attribute__((no_sanitize_address)) size_t untouched(const unsigned char* low, size_t size) {
  size_t n = 0;
  while (n < size && low[n] == kUnused) ++n;
  return n;
}

// Runs `body` on a thread whose stack is kStack bytes above a guard page (an
// overflow faults rather than writing past it). Returns the bytes it used.
size_t stack_used(const std::function<void()>& body) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  void* map =
      mmap(nullptr, kStack + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (map == MAP_FAILED) return 0;
  auto* low = static_cast<unsigned char*>(map) + page;
  EXPECT_EQ(mprotect(map, page, PROT_NONE), 0);
  std::memset(low, kUnused, kStack);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstack(&attr, low, kStack);
  Thread t{body};
  pthread_t id;
  EXPECT_EQ(pthread_create(&id, &attr, run_body, &t), 0);
  pthread_join(id, nullptr);
  pthread_attr_destroy(&attr);
  const size_t used = kStack - untouched(low, kStack);
  munmap(map, kStack + page);
  return used;
}

std::string repeat(const std::string& s, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) out += s;
  return out;
}

// `levels` nested one-child nodes around a leaf: the leaf's payload lies
// `levels` levels down.
std::string abs_chain(size_t levels, const std::string& leaf) {
  return repeat("{\"Abs\":", levels - 1) + leaf + repeat("}", levels - 1);
}

// (((x + 1) + 1) ... + 1): a Bin takes two levels (its object and array).
std::string add_chain(size_t levels) {
  const size_t bins = (levels - 1) / 2;
  return repeat("{\"Bin\":[\"Add\",", bins) + "{\"Feature\":\"x\"}" +
         repeat(",{\"Const\":1.0}]}", bins);
}

// (x * (x * ... (x * x))): right-deep, every operand a column.
std::string mul_chain(size_t levels) {
  const size_t bins = (levels - 1) / 2;
  return repeat("{\"Bin\":[\"Mul\",{\"Feature\":\"x\"},", bins) + "{\"Feature\":\"x\"}" +
         repeat("]}", bins);
}

// A report whose "expr_json" holds the expression as an escaped string.
std::string report_of(const std::string& expr) {
  std::string escaped;
  for (const char c : expr) {
    if (c == '"') escaped += '\\';
    escaped += c;
  }
  return "{\"bic\":1.0,\"expr_json\":\"" + escaped + "\"}";
}

struct Outcome {
  int32_t status = -1;
  std::string error;  // the thread's own last error
  std::vector<double> out;
  size_t stack = 0;
};

Outcome predict(const std::string& json) {
  static const double x[] = {-1.0, 0.5, 1.0};
  const char* names[] = {"x"};
  const double* columns[] = {x};
  Outcome r;
  r.out.assign(3, 0.0);
  r.stack = stack_used([&] {
    r.status = qvx_predict(json.c_str(), 1, names, columns, 3, r.out.data());
    r.error = qvx_last_error();
  });
  return r;
}

TEST(DeepPredict, ExpressionsAtTheLimitFitASmallStack) {
#ifdef __SANITIZE_THREAD__
  GTEST_SKIP() << "ThreadSanitizer refuses a thread on a stack the caller provides";
#endif
  struct Case {
    const char* what;
    std::string (*make)(size_t);
    std::vector<double> expected;
  };
  const Case cases[] = {
      {"abs chain", [](size_t n) { return abs_chain(n, "{\"Feature\":\"x\"}"); }, {1.0, 0.5, 1.0}},
      {"constant chain",
       [](size_t n) { return abs_chain(n, "{\"Const\":-2.5}"); },
       {2.5, 2.5, 2.5}},
      {"left-deep sums", add_chain, {}},
      {"right-deep products", mul_chain, {}},
      {"report",
       [](size_t n) { return report_of(abs_chain(n, "{\"Feature\":\"x\"}")); },
       {1.0, 0.5, 1.0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // Walks recurse for up to 64 levels and go on iteratively below: stack
    // use grows up to that depth, then no more.
    const Outcome shallow = predict(c.make(200));
    const Outcome deep = predict(c.make(kLimit));
    ASSERT_EQ(shallow.status, QVX_OK) << shallow.error;
    ASSERT_EQ(deep.status, QVX_OK) << deep.error;
    if (!c.expected.empty()) {
      EXPECT_EQ(deep.out, c.expected);
    }
    EXPECT_LE(deep.stack, shallow.stack + 4096) << "at 200 levels " << shallow.stack;
    EXPECT_LE(deep.stack, kStack / 2);
    RecordProperty(std::string(c.what) + " stack", static_cast<int>(deep.stack));
  }
  // The sums are exact: x + 999 for 999 nested Bins.
  EXPECT_EQ(predict(add_chain(kLimit)).out, (std::vector<double>{998.0, 999.5, 1000.0}));
  const Outcome squares = predict(mul_chain(kLimit));
  EXPECT_EQ(squares.out[0], 1.0);  // (-1)^1000
  EXPECT_EQ(squares.out[2], 1.0);
}

TEST(DeepPredict, DeeperDocumentsAreRefusedOnASmallStack) {
#ifdef __SANITIZE_THREAD__
  GTEST_SKIP() << "ThreadSanitizer refuses a thread on a stack the caller provides";
#endif
  const std::string over[] = {
      abs_chain(kLimit + 1, "{\"Feature\":\"x\"}"),
      report_of(abs_chain(kLimit + 1, "{\"Feature\":\"x\"}")),
      repeat("[", 100000),                   // unclosed, far past the limit
      abs_chain(kLimit, "{\"Feature\":7}"),  // a fault at the bottom
  };
  const char* const why[] = {"nested too deeply", "nested too deeply", "nested too deeply",
                             "a Feature holds a name"};
  for (size_t i = 0; i < 4; ++i) {
    const Outcome r = predict(over[i]);
    EXPECT_EQ(r.status, QVX_ERR_DATA);
    EXPECT_NE(r.error.find(why[i]), std::string::npos) << r.error;
    EXPECT_EQ(r.out, (std::vector<double>{0.0, 0.0, 0.0}));  // left as it was
  }
}

}  // namespace
