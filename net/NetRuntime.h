#pragma once
// The network runtime: four layers, each adding one piece on top of the one below.
//   CNetRuntime      - the socket engine
//   CBudgetRuntime   - the bandwidth budget's period bookkeeping
//   CSslRuntime      - the TLS library
//   CThrottleRuntime - the budget derived from the bandwidth schedule
// Init runs at start-up before any window exists; Tick runs from the 75 ms timer.

class CNetRuntime {
public:
    virtual ~CNetRuntime() = default;
    virtual bool Init();
    virtual void Term();
    virtual void Tick(int timerId);
};

class CBudgetRuntime : public CNetRuntime {
public:
    bool Init() override;
    void Term() override;
    void Tick(int timerId) override;
};

class CSslRuntime : public CBudgetRuntime {
public:
    bool Init() override;
    void Term() override;
};

class CThrottleRuntime : public CSslRuntime {
public:
    bool Init() override;
    void Tick(int timerId) override;
};
