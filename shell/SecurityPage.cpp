#include "shell/SecurityPage.h"

CSecurityPg::CSecurityPg(OptionsContext context, QWidget* parent) : COptionsPage(context, "Security", parent) {}

void CSecurityPg::Load() {}

void CSecurityPg::Apply() {}
