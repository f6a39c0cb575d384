#pragma once
// The message boxes of the windows, through one door, so that a test can see what would have
// been shown and give the answer a person would.

#include <QMessageBox>
#include <functional>

// Shows text with the icon (Critical for errors, Information) and waits for OK.
void ShowMessage(QWidget* parent, QMessageBox::Icon icon, const QString& text);
// A Yes/No question; true for Yes.
bool AskYesNo(QWidget* parent, const QString& text);

// For tests: every message and question goes to the handler instead of a window; its return
// value is the answer to a question (ignored for a message). An empty handler restores the
// windows.
using MessageHandler = std::function<bool(QMessageBox::Icon icon, const QString& text)>;
void SetMessageHandler(MessageHandler handler);
