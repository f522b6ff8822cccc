// A C++ host: owns the handles with unique_ptr and reads the text report.
#include <quorvex.h>

#include <cstdio>
#include <memory>
#include <string>

namespace {
struct DatasetFree {
  void operator()(CDataset* d) const noexcept { quorvex_dataset_free(d); }
};
struct ReportFree {
  void operator()(CReport* r) const noexcept { quorvex_report_free(r); }
};

std::string take(char* s) {
  std::string copy = s != nullptr ? s : "";
  quorvex_string_free(s);
  return copy;
}
}  // namespace

int main() {
  std::unique_ptr<CDataset, DatasetFree> ds(quorvex_dataset_new("area"));
  quorvex_dataset_add_feature(ds.get(), "w");
  quorvex_dataset_add_feature(ds.get(), "h");
  for (int i = 0; i < 60; ++i) {
    const double row[2] = {1.0 + i % 7, 0.5 + i % 5};
    quorvex_dataset_push_row(ds.get(), row, row[0] * row[1]);
  }
  std::unique_ptr<CReport, ReportFree> report(quorvex_discover(ds.get(), 10, 50, 0, 2, 0.2));
  if (!report) return 1;
  const std::string text = take(quorvex_report_pretty(report.get()));
  std::printf("C++: %s", text.substr(text.find("verdict :")).c_str());
  return text.empty() ? 1 : 0;
}
