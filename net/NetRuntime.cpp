#include "net/NetRuntime.h"

#include "net/SocketEngine.h"
#include "net/ThrottleSchedule.h"
#include "net/TlsRuntime.h"

bool CNetRuntime::Init() {
    return CSocketEngine::Instance().StartEngine();
}
void CNetRuntime::Term() {
    CSocketEngine::Instance().StopEngine();
}
void CNetRuntime::Tick(int) {
    CSocketEngine::Instance().WakeEngine();
}

bool CBudgetRuntime::Init() {
    if (!CNetRuntime::Init()) return false;
    CSocketEngine::Instance().StartBudgetPeriod();
    return true;
}

void CBudgetRuntime::Term() {
    CNetRuntime::Term();
}

void CBudgetRuntime::Tick(int timerId) {
    CSocketEngine::Instance().BudgetTick();
    CNetRuntime::Tick(timerId);
}

bool CSslRuntime::Init() {
    return CBudgetRuntime::Init() && CTlsRuntime::Instance().Init();
}

void CSslRuntime::Term() {
    CTlsRuntime::Instance().FreeTlsRuntime();
    CBudgetRuntime::Term();
}

bool CThrottleRuntime::Init() {
    if (!CSslRuntime::Init()) return false;
    InstallThrottleSchedule();  // also the first budget refresh
    return true;
}

void CThrottleRuntime::Tick(int timerId) {
    CSocketEngine::Instance().RefreshBudgetIfDue();
    CSslRuntime::Tick(timerId);
}
