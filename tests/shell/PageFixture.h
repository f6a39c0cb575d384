#pragma once
// One settings page on its own over the started application, driven through its widgets.

#include <QAbstractButton>
#include <QDialog>
#include <QLineEdit>
#include <QTest>
#include <QTimer>
#include <fstream>
#include <memory>
#include <sstream>

#include "config/AppSettings.h"
#include "shell/OptionsPage.h"
#include "shell/QtFixture.h"

// Replaces the field's text by typing, then leaves it for next.
inline void TypeAndLeave(QLineEdit* field, const QString& text, QWidget* next) {
    field->setFocus();
    field->selectAll();
    QTest::keyClick(field, Qt::Key_Delete);
    QTest::keyClicks(field, text);
    next->setFocus();
}

// Clicks the button; true if that opened a dialog, which is then cancelled.
inline bool OpensDialog(QAbstractButton* button) {
    bool opened = false;
    QTimer::singleShot(0, [&opened] {
        if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            opened = true;
            dialog->reject();
        }
    });
    button->click();
    QApplication::processEvents();
    return opened;
}

template <class Page>
class PageTest : public QtAppTest {
protected:
    void TearDown() override {
        page_.reset();
        QtAppTest::TearDown();
    }
    CAppSettings& Settings() { return app_.EditableSettings(); }
    // A new page, shown (so read from the store) and active, so that focus moves as it does
    // for a person.
    void Open() {
        page_ = std::make_unique<Page>(OptionsContext{Settings(), app_.Users()});
        page_->show();
        QApplication::setActiveWindow(page_.get());
    }
    template <class Widget = QLineEdit>
    Widget* Find(const char* name) const {
        auto* widget = page_->template findChild<Widget*>(name);
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    // The registry file holds "name"="text".
    bool Saved(const std::string& name, const std::string& text) const {
        std::ifstream in(dir_ / "config" / "registry.reg");
        std::stringstream content;
        content << in.rdbuf();
        return content.str().find("\"" + name + "\"=\"" + text + "\"") != std::string::npos;
    }

    std::unique_ptr<Page> page_;
};
