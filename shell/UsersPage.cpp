#include "shell/UsersPage.h"

CUserPg::CUserPg(OptionsContext context, QWidget* parent) : COptionsPage(context, "Users", parent) {}

void CUserPg::Load() {}

void CUserPg::Apply() {}
