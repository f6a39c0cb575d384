#include "shell/MiscPage.h"

CMiscPg::CMiscPg(OptionsContext context, QWidget* parent) : COptionsPage(context, "Misc.", parent) {}

void CMiscPg::Load() {}

void CMiscPg::Apply() {}
