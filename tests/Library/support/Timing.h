#pragma once

// Time limits of the tests, all derived from the library's read budget so
// that a change of the budget moves every bound with it.
#include "TessaryHardwareAPI/SerialStream.h"

namespace tessary_test {

constexpr long kBudgetMs = Tessary::HardwareAPI::IO::serialib::kReadBudgetMs;
// A read that waited out the budget: a little under it for clock granularity.
constexpr long kTimedOutMs = kBudgetMs * 95 / 100;
// timed_read itself measures the whole budget.
constexpr long kFullBudgetMs = kBudgetMs * 99 / 100;
// One wait, not two.
constexpr long kOneWaitMs = kBudgetMs * 3 / 2;
// Well within one budget: a few exchanges whose bytes were all there.
constexpr long kWithinBudgetMs = kBudgetMs / 2;
constexpr long kPromptMs = kBudgetMs / 5;
// No read waited at all.
constexpr long kAtOnceMs = kBudgetMs / 10;
constexpr long kInstantMs = kBudgetMs / 20;

}  // namespace tessary_test
