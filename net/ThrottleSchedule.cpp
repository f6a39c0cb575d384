#include "net/ThrottleSchedule.h"

#include "net/SocketEngine.h"

namespace {
CFtpThrottleData& Schedule() {
    static CFtpThrottleData schedule;  // the default schedule until one is installed
    return schedule;
}
}  // namespace

CFtpThrottleData CopyThrottleSchedule() {
    SocketLock lock(CSocketEngine::Instance().Mutex());
    return Schedule();
}

void ReplaceThrottleSchedule(const CFtpThrottleData& schedule) {
    CSocketEngine& engine = CSocketEngine::Instance();
    SocketLock lock(engine.Mutex());
    Schedule() = schedule;
    engine.RefreshBudget();
}

void InstallThrottleSchedule() {
    CSocketEngine& engine = CSocketEngine::Instance();
    SocketLock lock(engine.Mutex());
    engine.SetBudgetSource([](platform::Time32 now) { return Schedule().LimitAt(now); });
    engine.RefreshBudget();
}
