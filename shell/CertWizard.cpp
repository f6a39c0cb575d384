#include "shell/CertWizard.h"

#include <QApplication>
#include <QEvent>
#include <QEventLoop>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QTimer>
#include <QVBoxLayout>
#include <thread>

#include "config/ShellTexts.h"
#include "shell/Messages.h"

namespace {

QHBoxLayout* ButtonRow(QPushButton* accept, QPushButton* cancel) {
    auto* row = new QHBoxLayout;
    row->addStretch();
    row->addWidget(accept);
    row->addWidget(cancel);
    return row;
}

}  // namespace

CCertStepOne::CCertStepOne(QWidget* parent) : QDialog(parent) {
    setWindowTitle("Create Certificate Step 1");
    name_ = new QLineEdit(this);
    name_->setObjectName("name");
    passPhrase_ = new QLineEdit(this);
    passPhrase_->setObjectName("passPhrase");
    days_ = new QLineEdit("365", this);
    days_->setObjectName("days");
    days_->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]{0,9}"), this));
    auto* valid = new QHBoxLayout;
    valid->addWidget(days_);
    valid->addWidget(new QLabel("days", this));
    auto* form = new QFormLayout;
    form->addRow("Name :", name_);
    form->addRow("Passphrase :", passPhrase_);
    form->addRow("Valid :", valid);
    next_ = new QPushButton("Next >>", this);
    next_->setDefault(true);
    auto* cancel = new QPushButton("Cancel", this);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addLayout(ButtonRow(next_, cancel));
    connect(next_, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    for (QLineEdit* edit : {name_, passPhrase_, days_})
        connect(edit, &QLineEdit::textChanged, this, &CCertStepOne::UpdateNext);
    UpdateNext();
}

std::string CCertStepOne::Name() const {
    return name_->text().toStdString();
}

std::string CCertStepOne::PassPhrase() const {
    return passPhrase_->text().toStdString();
}

unsigned CCertStepOne::Days() const {
    return days_->text().toUInt();
}

void CCertStepOne::UpdateNext() {
    // The files are made in the configuration folder; a name may name a sub-folder of it but
    // not leave it.
    next_->setEnabled(CertStepOnePasses(Name(), PassPhrase(), Days()) &&
                      CertNameStaysInFolder(Name()));
}

CCertStepTwo::CCertStepTwo(QWidget* parent) : QDialog(parent) {
    setWindowTitle("Create Certificate Step 2");
    auto* form = new QFormLayout;
    for (CertField field : kCertFields) {
        const CertFieldInfo& info = FieldInfo(field);
        auto* edit = new QLineEdit(QString::fromStdString(request_[field]), this);
        edit->setObjectName(info.attribute);
        edit->setMaxLength(static_cast<int>(info.maximum));
        edit->installEventFilter(this);
        connect(edit, &QLineEdit::textChanged, this, &CCertStepTwo::CopyFields);
        fields_[static_cast<size_t>(field)] = edit;
        form->addRow(info.label, edit);
    }
    finished_ = new QPushButton("Finished", this);
    finished_->setDefault(true);
    auto* cancel = new QPushButton("Cancel", this);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(new QLabel("* = optional", this));
    layout->addLayout(ButtonRow(finished_, cancel));
    connect(finished_, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    CopyFields();
}

void CCertStepTwo::CopyFields() {
    for (CertField field : kCertFields) request_[field] = Field(field)->text().toStdString();
    finished_->setEnabled(RequestPasses(request_));
}

bool CCertStepTwo::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::FocusOut || complaining_)
        return QDialog::eventFilter(watched, event);
    for (CertField field : kCertFields) {
        QLineEdit* edit = Field(field);
        if (edit != watched) continue;
        const std::string text = edit->text().toStdString();
        // An empty required field is caught by "Finished" staying disabled, not by a message
        // on every pass through it.
        if (text.empty() || CertFieldPasses(field, text)) break;
        complaining_ = true;
        ShowMessage(this, QMessageBox::Critical, QString::fromStdString(CertFieldMessage(field)));
        complaining_ = false;
        // Back to the field once the focus change that is under way has finished.
        QTimer::singleShot(0, edit, [edit] { edit->setFocus(Qt::OtherFocusReason); });
        break;
    }
    return QDialog::eventFilter(watched, event);
}

bool RunCertificateWizard(QWidget* parent, const std::string& folder, CreatedCertificate& made) {
    CCertStepOne first(parent);
    if (first.exec() != QDialog::Accepted) return false;
    made.paths = CertificateFiles(folder, first.Name());
    made.passPhrase = first.PassPhrase();
    CCertStepTwo second(parent);
    if (second.exec() != QDialog::Accepted) return false;

    CertificateParameters parameters;
    parameters.days = first.Days();
    CertificateRequest request = second.Request();
    // Making the key takes a moment: the generation runs aside while the windows keep painting.
    QApplication::setOverrideCursor(Qt::WaitCursor);
    bool ok = false;
    QEventLoop wait;
    // A quit posted before exec() starts is still delivered to it.
    std::thread worker([&] {
        ok = GenerateCertificate(made.paths, made.passPhrase, request, parameters);
        QMetaObject::invokeMethod(&wait, "quit", Qt::QueuedConnection);
    });
    wait.exec(QEventLoop::ExcludeUserInputEvents);
    worker.join();
    QApplication::restoreOverrideCursor();
    if (!ok) ShowMessage(parent, QMessageBox::Critical, texts::kFailedToCreateCertificate);
    return ok;
}
