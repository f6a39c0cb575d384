#include "shell/OptionsSheet.h"

#include <QDialogButtonBox>
#include <QTabWidget>
#include <QVBoxLayout>

#include "shell/IpAccessPage.h"
#include "shell/MiscPage.h"
#include "shell/NetworkPage.h"
#include "shell/SecurityPage.h"
#include "shell/SystemPage.h"
#include "shell/UsersPage.h"

COptionsSheet::COptionsSheet(OptionsContext context, QWidget* parent) : QDialog(parent) {
    setWindowTitle("Settings");
    tabs_ = new QTabWidget(this);
    // Every tab in sight: the sheet is as wide as its six titles.
    tabs_->setUsesScrollButtons(false);
    pages_ = {new CSystemPg(context),   new CUserPg(context),     new CConnectPg(context),
              new CIpAccessPg(context), new CSecurityPg(context), new CMiscPg(context)};
    for (COptionsPage* page : pages_) tabs_->addTab(page, page->Title());
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &COptionsSheet::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &COptionsSheet::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tabs_);
    layout->addWidget(buttons);
}

void COptionsSheet::ShowPage(int index) {
    tabs_->setCurrentIndex(index);
    pages_.at(index)->EnsureLoaded();
}

void COptionsSheet::accept() {
    for (COptionsPage* page : pages_)
        if (page->WasShown()) page->Apply();
    QDialog::accept();
}
