#include "CompletionGate.h"

#include <memory>
#include <mutex>

namespace {
std::mutex gateMutex;
std::shared_ptr<const CompletionGate> currentGate;
} // namespace

void setCompletionGate(CompletionGate gate)
{
    auto next = gate ? std::make_shared<const CompletionGate>(std::move(gate)) : nullptr;
    std::lock_guard<std::mutex> lock(gateMutex);
    currentGate = std::move(next);
}

Completion mayComplete(const std::string& session)
{
    std::shared_ptr<const CompletionGate> gate;
    {
        std::lock_guard<std::mutex> lock(gateMutex);
        gate = currentGate;
    }
    // Asked outside the lock: a gate may wait on the network.
    return gate ? (*gate)(session) : Completion::Proceed;
}
