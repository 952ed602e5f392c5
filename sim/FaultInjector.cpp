#include "FaultInjector.h"

namespace Tessary::Sim {

FaultInjector::FaultInjector(const FaultOptions& options)
    : options_(options)
{
}

bool FaultInjector::Hits(unsigned every, unsigned long count)
{
    return every != 0 && count % every == 0;
}

FaultInjector::Decision FaultInjector::Next()
{
    ++count_;
    Decision d;
    // A dropped reply has nothing left to truncate or corrupt.
    d.drop = Hits(options_.dropEvery, count_);
    d.truncate = !d.drop && Hits(options_.truncateEvery, count_);
    d.wrongHeader = !d.drop && Hits(options_.wrongHeaderEvery, count_);
    d.lastBeforeHangup = options_.hangupAfter != 0 && count_ == options_.hangupAfter;
    return d;
}

} // namespace Tessary::Sim
