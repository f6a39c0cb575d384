#pragma once
// One page of the settings sheet. A page reads its values from the store the first time it is
// shown, and only a page that was shown writes anything back when the sheet is accepted.

#include <QWidget>

class CAppSettings;
class CUserList;

// What every page works on: the application's store and its user list.
struct OptionsContext {
    CAppSettings& settings;
    CUserList& users;
};

class COptionsPage : public QWidget {
    Q_OBJECT

public:
    COptionsPage(OptionsContext context, const QString& title, QWidget* parent = nullptr);

    const QString& Title() const { return title_; }
    bool WasShown() const { return loaded_; }
    bool IsModified() const { return modified_; }
    // Reads the page from the store if it has not been read yet (the first show does this).
    void EnsureLoaded();
    // The sheet's OK for this page: the page's checks, its settings written, SaveSettings.
    // Only called for a page that was shown.
    virtual void Apply() = 0;

public slots:
    void SetModified() { modified_ = true; }

protected:
    virtual void Load() = 0;
    void showEvent(QShowEvent* event) override;

    OptionsContext context_;

private:
    QString title_;
    bool loaded_ = false;
    bool modified_ = false;
};
