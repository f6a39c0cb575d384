#pragma once
// The main window's only view: five counters of the server in the "Activity" group and one
// row per connected client. It is not driven by events: the controller's tick hands it a
// snapshot, and only texts that differ from what is shown are written, so nothing flickers.

#include <QWidget>

#include "shell/StatusText.h"

class QGroupBox;
class QLineEdit;
class QTreeWidget;

class CStatusView : public QWidget {
    Q_OBJECT

public:
    explicit CStatusView(QWidget* parent = nullptr);

    // "Activity - address:port", or "Activity" when the host's address is not known.
    void SetCaption(const QString& caption);
    void Refresh(const StatusSnapshot& snapshot);
    // Empties the activity list (at every server start).
    void Clear();

    // For tests: the texts and rows as shown, and how many writes the refreshes made.
    QString FieldText(int field) const;
    int RowCount() const;
    QString CellText(int row, int column) const;
    QString UserTip(int row) const;
    bool RowSecure(int row) const;
    int Writes() const { return writes_; }
    QGroupBox* Group() const { return group_; }

    enum Field { kUptime, kSessions, kXfers, kSent, kReceived, kFieldCount };

private:
    void WriteField(int field, const std::string& text);

    QGroupBox* group_;
    QLineEdit* fields_[kFieldCount];
    QTreeWidget* list_;
    int writes_ = 0;
};

// The caption's address: one clients can reach the server at (the bind address, else the
// machine's first address that is not loopback), or "".
std::string HostAddressText();
