#include "shell/SystemPage.h"

CSystemPg::CSystemPg(OptionsContext context, QWidget* parent) : COptionsPage(context, "System", parent) {}

void CSystemPg::Load() {}

void CSystemPg::Apply() {}
