// Records what the engines tell the run's observers: every logged rate by direction
// and the figures of the result block.
#pragma once
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "engines/shell_calls.h"

class RunObserver {
 public:
  // Installs the given call table with the two observers added.
  void Install(ShellCallTable calls = {}) {
    calls.RateLogged = [this](RateDirection direction, double mbps) {
      std::lock_guard lock(lock_);
      rates_[direction].push_back(mbps);
    };
    calls.ResultsWritten = [this](const RunFigures& figures) {
      std::lock_guard lock(lock_);
      results_.push_back(figures);
    };
    InstallShellCalls(calls);
  }
  std::vector<double> Rates(RateDirection direction) {
    std::lock_guard lock(lock_);
    return rates_[direction];
  }
  std::vector<RunFigures> Results() {
    std::lock_guard lock(lock_);
    return results_;
  }

 private:
  std::mutex lock_;
  std::map<RateDirection, std::vector<double>> rates_;
  std::vector<RunFigures> results_;
};
