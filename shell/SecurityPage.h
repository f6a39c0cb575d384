#pragma once
// The "Security" page: TLS on or off, and the certificate, key and pass phrase it uses, typed
// in or made by the certificate wizard. TLS is set up at start-up only, which the page says
// after every OK.

#include <string>
#include <vector>

#include "shell/OptionsPage.h"

class QCheckBox;
class QLineEdit;
class QPushButton;

class CSecurityPg : public COptionsPage {
    Q_OBJECT

public:
    explicit CSecurityPg(OptionsContext context, QWidget* parent = nullptr);
    void Apply() override;

    // The wizard's folder: where "Create..." makes the files (the configuration folder).
    void SetCertificateFolder(const std::string& folder) { folder_ = folder; }

protected:
    void Load() override;

private:
    void UpdateEnabling();
    void OnReset();
    void OnCreate();

    QCheckBox* enable_;
    QLineEdit *certFile_, *keyFile_, *passPhrase_;
    QPushButton *reset_, *create_;
    std::vector<QWidget*> dependents_;
    std::string folder_;
};
