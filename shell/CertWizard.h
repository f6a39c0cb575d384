#pragma once
// "Create..." on the Security page: two dialogs that ask for the files' base name, the key's
// pass phrase and the validity, then the certificate's subject, and make the key pair and the
// self-signed certificate in the configuration folder.

#include <QDialog>
#include <array>
#include <string>

#include "config/Certificate.h"

class QLineEdit;
class QPushButton;

// Step 1: "Name :", "Passphrase :", "Valid :" ... "days".
class CCertStepOne : public QDialog {
    Q_OBJECT

public:
    explicit CCertStepOne(QWidget* parent = nullptr);

    std::string Name() const;
    std::string PassPhrase() const;
    unsigned Days() const;
    QPushButton* NextButton() const { return next_; }

private:
    void UpdateNext();

    QLineEdit *name_, *passPhrase_, *days_;
    QPushButton* next_;
};

// Step 2: the seven fields of the request; "Finished" only while the whole request passes.
class CCertStepTwo : public QDialog {
    Q_OBJECT

public:
    explicit CCertStepTwo(QWidget* parent = nullptr);

    const CertificateRequest& Request() const { return request_; }
    QLineEdit* Field(CertField field) const { return fields_[static_cast<size_t>(field)]; }
    QPushButton* FinishedButton() const { return finished_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void CopyFields();

    CertificateRequest request_;
    std::array<QLineEdit*, kCertFields.size()> fields_{};
    QPushButton* finished_;
    bool complaining_ = false;
};

// What the wizard made, for the Security page's three fields.
struct CreatedCertificate {
    CertificatePaths paths;
    std::string passPhrase;
};

// Runs both steps and the generation in folder; false when the person cancelled or the
// generation failed (then "Failed to create certificate." has been shown).
bool RunCertificateWizard(QWidget* parent, const std::string& folder, CreatedCertificate& made);
