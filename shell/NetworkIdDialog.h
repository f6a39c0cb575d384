#pragma once
// The Network Identifier dialog: one IP rule, an address and a mask. OK is offered only while
// both look like dotted quads, or the address is an IPv6 prefix ("2001:db8::/32", "::1"), which
// needs no mask (the mask field is emptied and disabled then); an IPv4 rule with an empty part
// still gets through and simply never matches in the engine.

#include <QDialog>

class QLineEdit;
class QPushButton;

class CNetworkIdDialog : public QDialog {
    Q_OBJECT

public:
    explicit CNetworkIdDialog(QWidget* parent = nullptr);

    QString Address() const;
    QString Mask() const;
    QPushButton* OkButton() const { return ok_; }

private:
    void UpdateOk();

    QLineEdit *address_, *mask_;
    QPushButton* ok_;
};
