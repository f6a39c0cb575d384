#include "shell/Messages.h"

namespace {

MessageHandler& Handler() {
    static MessageHandler handler;
    return handler;
}

}  // namespace

void SetMessageHandler(MessageHandler handler) {
    Handler() = std::move(handler);
}

void ShowMessage(QWidget* parent, QMessageBox::Icon icon, const QString& text) {
    if (Handler()) {
        Handler()(icon, text);
        return;
    }
    QMessageBox box(icon, "Quenlow FTP", text, QMessageBox::Ok, parent);
    box.exec();
}

bool AskYesNo(QWidget* parent, const QString& text) {
    if (Handler()) return Handler()(QMessageBox::Question, text);
    return QMessageBox::question(parent, "Quenlow FTP", text, QMessageBox::Yes | QMessageBox::No) ==
           QMessageBox::Yes;
}
