#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "core/drift/drift_detector.hpp"
#include "core/evaluator.hpp"

namespace ostrel::core {

// Runs its detectors in order: the first violation invalidates the session at once; warnings
// add up, and warning_threshold of them in one evaluation refuse the action.
class DriftEvaluator final : public Evaluator {
 public:
  static constexpr std::string_view kName = "drift";
  static constexpr std::uint32_t kPriority = 100;

  DriftEvaluator(std::vector<std::unique_ptr<DriftDetector>> detectors, std::size_t warning_threshold)
      : detectors_(std::move(detectors)), warning_threshold_(warning_threshold) {}

  std::string_view name() const override { return kName; }
  runtime::Task<Verdict> evaluate(const ActionContext& ctx) const override;
  std::uint32_t priority() const override { return kPriority; }

  const std::vector<std::unique_ptr<DriftDetector>>& detectors() const { return detectors_; }
  std::size_t warning_threshold() const { return warning_threshold_; }

 private:
  std::vector<std::unique_ptr<DriftDetector>> detectors_;
  std::size_t warning_threshold_;
};

// The drift evaluator every gate gets unless drift is disabled: geographic (strict unless a
// distance limit is given), session age of 4 hours, device, and a rate of 30 / 100 actions per
// minute for warning / violation, with 3 warnings refusing.
std::shared_ptr<DriftEvaluator> make_gate_drift_evaluator(std::optional<double> geo_drift_max_km);

}  // namespace ostrel::core
