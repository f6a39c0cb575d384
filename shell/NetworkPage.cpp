#include "shell/NetworkPage.h"

CConnectPg::CConnectPg(OptionsContext context, QWidget* parent) : COptionsPage(context, "Network", parent) {}

void CConnectPg::Load() {}

void CConnectPg::Apply() {}
