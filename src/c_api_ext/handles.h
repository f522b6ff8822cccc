#pragma once

// The handle types of the extended C interface and the failure machinery its
// exports share.

#include <cstdint>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "dataset/dataset.h"
#include "expr/expr.h"
#include "quorvex_ext.h"
#include "refine/refine.h"
#include "report/report.h"

struct qvx_dataset {
  quorvex::Dataset data;
  quorvex::DeclaredUnits units;  // declared by qvx_dataset_set_units
};

struct qvx_result {
  int32_t search = QVX_SEARCH_REFINED;
  std::string simplified;
  std::string latex;  // classic: the best formula as LaTeX (refined: its front entry's)
  // A classic discovery fills the report, best, finite_share and generations.
  quorvex::RefinedResult result;
};

namespace quorvex::ext {

// Thrown inside an export and turned into its failure value there.
struct Failure {
  int32_t status;
  std::string message;
};

[[noreturn]] inline void fail(int32_t status, std::string message) {
  throw Failure{status, std::move(message)};
}

// A callback asked to stop a search that has no partial result.
struct StopRequest {};

void set_error(const std::string& message);
void clear_error() noexcept;

// Runs f, the body of an export, and turns whatever it throws into the
// export's failure value and the thread's last-error text.
template <typename T, typename F>
T guarded(T on_failure, F&& f) noexcept {
  clear_error();
  try {
    return f();
  } catch (const Failure& e) {
    set_error(e.message);
  } catch (const StopRequest&) {
    set_error("stopped by the callback");
  } catch (const std::bad_alloc&) {
    set_error("out of memory");
  } catch (const std::exception& e) {
    set_error(e.what());
  } catch (...) {
    set_error("unexpected failure");
  }
  return on_failure;
}

// The status form: f returns nothing, failures carry their own status.
template <typename F>
int32_t guarded_status(F&& f) noexcept {
  clear_error();
  try {
    f();
    return QVX_OK;
  } catch (const Failure& e) {
    set_error(e.message);
    return e.status;
  } catch (const StopRequest&) {
    set_error("stopped by the callback");
    return QVX_STOPPED;
  } catch (const std::bad_alloc&) {
    set_error("out of memory");
    return QVX_ERR_DATA;
  } catch (const std::invalid_argument& e) {
    // The engine refuses only data here: every setting was checked before.
    set_error(e.what());
    return QVX_ERR_DATA;
  } catch (const std::exception& e) {
    set_error(e.what());
    return QVX_ERR_DATA;
  } catch (...) {
    set_error("unexpected failure");
    return QVX_ERR_DATA;
  }
}

// Copies a C string, refusing NULL and invalid UTF-8; `what` names the
// argument in the error text.
std::string utf8_argument(const char* s, const char* what);

// Hands a text to the host in a buffer qvx_string_free releases.
char* to_c_string(const std::string& text);

}  // namespace quorvex::ext
