#include "shell/OptionsPage.h"

COptionsPage::COptionsPage(OptionsContext context, const QString& title, QWidget* parent)
    : QWidget(parent), context_(context), title_(title) {}

void COptionsPage::EnsureLoaded() {
    if (loaded_) return;
    loaded_ = true;
    Load();
    // Filling the controls is not a change by the person at the machine.
    modified_ = false;
}

void COptionsPage::showEvent(QShowEvent* event) {
    EnsureLoaded();
    QWidget::showEvent(event);
}
