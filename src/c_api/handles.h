#pragma once

#include <memory>

#include "dataset/dataset.h"

// The opaque handle types of the C interface: each is a cell owning the
// object behind it.
struct CDataset {
  std::unique_ptr<quorvex::Dataset> dataset;
};

#include "report/report.h"

struct CReport {
  std::unique_ptr<quorvex::DiscoverReport> report;
};
