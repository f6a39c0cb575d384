#include "shell/IpAccessPage.h"

CIpAccessPg::CIpAccessPg(OptionsContext context, QWidget* parent) : COptionsPage(context, "IP Access", parent) {}

void CIpAccessPg::Load() {}

void CIpAccessPg::Apply() {}
