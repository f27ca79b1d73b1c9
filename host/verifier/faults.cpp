// Failure injection: counts the calls of every fault point and fails the chosen ones. Host only.
#include "host/verifier/faults.h"

#include <mutex>

namespace host {

namespace {

struct FaultPoint {
    uint32_t calls = 0;     // calls since the last reset
    uint32_t failAt = 0;    // the call number that fails; 0 = none
    bool always = false;
    int32_t status = 0;
};

struct FaultState {
    std::mutex mutex;
    FaultPoint points[static_cast<int>(Fault::Count)];
};

FaultState& State()
{
    static FaultState* state = new FaultState;
    return *state;
}

}  // namespace

void FailCall(Fault fault, uint32_t nth, int32_t status)
{
    FaultState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    FaultPoint& point = state.points[static_cast<int>(fault)];
    point.always = false;
    point.failAt = nth == 0 ? 0 : point.calls + nth;
    point.status = status;
}

void FailAlways(Fault fault, int32_t status)
{
    FaultState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    FaultPoint& point = state.points[static_cast<int>(fault)];
    point.always = true;
    point.failAt = 0;
    point.status = status;
}

uint32_t CallCount(Fault fault)
{
    FaultState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.points[static_cast<int>(fault)].calls;
}

void ResetFaults()
{
    FaultState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    for (FaultPoint& point : state.points) {
        point = FaultPoint{};
    }
}

bool ShouldFail(Fault fault, int32_t* status)
{
    FaultState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    FaultPoint& point = state.points[static_cast<int>(fault)];
    ++point.calls;
    bool fail = point.always || (point.failAt != 0 && point.calls == point.failAt);
    if (fail && point.failAt != 0) {
        point.failAt = 0;
    }
    if (status != nullptr) {
        *status = fail ? point.status : 0;
    }
    return fail;
}

}  // namespace host
