#pragma once
// The "Settings" sheet: six pages in their order. OK runs the OK step of every page that was
// shown, in page order; Cancel drops the pages' values (account changes are saved at once by
// the Users page and stay).

#include <QDialog>
#include <vector>

#include "shell/OptionsPage.h"

class QTabWidget;

class COptionsSheet : public QDialog {
    Q_OBJECT

public:
    COptionsSheet(OptionsContext context, QWidget* parent = nullptr);

    // The pages in sheet order; for tests, which drive them through their widgets.
    const std::vector<COptionsPage*>& Pages() const { return pages_; }
    template <class Page>
    Page* FindPage() const {
        for (COptionsPage* page : pages_)
            if (auto* found = dynamic_cast<Page*>(page)) return found;
        return nullptr;
    }
    // Brings a page to the front (and so reads it from the store).
    void ShowPage(int index);
    QTabWidget* Tabs() const { return tabs_; }

    void accept() override;

private:
    QTabWidget* tabs_;
    std::vector<COptionsPage*> pages_;
};
