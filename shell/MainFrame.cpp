#include "shell/MainFrame.h"
#include "config/SettingNames.h"

#include <QApplication>
#include <QMenuBar>
#include <QMessageBox>
#include <QStatusBar>
#include <QSystemTrayIcon>

#include "config/ShellTexts.h"
#include "net/HostAddress.h"
#include "platform/Clock.h"
#include "shell/Application.h"
#include "shell/Messages.h"
#include "shell/OptionsSheet.h"
#include "shell/StatusIcons.h"
#include "shell/StatusView.h"

CMainFrame::CMainFrame(CQuenlowApp& app) : app_(app) {
    setWindowTitle("Quenlow FTP");
    setWindowIcon(ApplicationIcon());
    view_ = new CStatusView(this);
    setCentralWidget(view_);
    std::string address = HostAddressText();
    if (!address.empty())
        view_->SetCaption(QString("Activity - %1")
                              .arg(QString::fromStdString(AddressPortText(
                                  address, app_.Settings().GetIntSetting(setting::NetTcpPort)))));

    QMenu* server = menuBar()->addMenu("&Server");
    start_ = server->addAction("&Start", this, &CMainFrame::OnStart);
    start_->setStatusTip("Start the FTP server");
    stop_ = server->addAction("S&top", this, &CMainFrame::OnStop);
    stop_->setStatusTip("Close all FTP connections");
    QAction* hide = server->addAction("&Hide Window", this, &QWidget::hide);
    hide->setStatusTip("Minimize FTP server window");
    server->addSeparator();
    QAction* exit = server->addAction("E&xit", this, &CMainFrame::OnExit);
    exit->setStatusTip("Quit the application");
    QMenu* tools = menuBar()->addMenu("&Tools");
    QAction* settings = tools->addAction("&Settings...", this, &CMainFrame::OnSettings);
    settings->setStatusTip("Change the server's settings");
    QMenu* help = menuBar()->addMenu("&Help");
    QAction* about = help->addAction("&About...", this, &CMainFrame::OnAbout);
    about->setStatusTip("Display program information and version");
    statusBar();
    resize(380, 420);
    UpdateCommands();
}

CMainFrame::~CMainFrame() = default;

void CMainFrame::UpdateCommands() {
    bool running = app_.IsRunning();
    start_->setEnabled(!running);
    stop_->setEnabled(running);
}

void CMainFrame::OnTick() {
    view_->Refresh(app_.Controller()->TakeStatusSnapshot(platform::Clock::Now()));
    UpdateCommands();
}

bool CMainFrame::AddNotificationIcon() {
    if (!QSystemTrayIcon::isSystemTrayAvailable()) return false;
    tray_ = new QSystemTrayIcon(ApplicationIcon(), this);
    tray_->setToolTip("Quenlow FTP");
    connect(tray_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason) { ShowAndRaise(); });
    tray_->show();
    return true;
}

void CMainFrame::ShowAtStartUp() {
    show();
    OnTick();
    // The window goes to the background only where the notification icon can bring it back.
    if (AddNotificationIcon()) hide();
}

void CMainFrame::ShowAndRaise() {
    show();
    setWindowState(windowState() & ~Qt::WindowMinimized);
    raise();
    activateWindow();
}

void CMainFrame::OnStart() {
    view_->Clear();
    if (!app_.StartServer()) ShowMessage(this, QMessageBox::Critical, "Unable to start server!");
    UpdateCommands();
}

void CMainFrame::OnStop() {
    app_.StopServer();
    UpdateCommands();
}

void CMainFrame::OnSettings() {
    // The engine reads its settings at start; the sheet is only for a stopped server.
    if (app_.IsRunning()) {
        if (!AskYesNo(this, texts::kStopServerQuestion)) return;
        OnStop();
    }
    COptionsSheet sheet({app_.EditableSettings(), app_.Users()}, this);
    if (sheet.exec() == QDialog::Accepted) app_.RebuildAfterSettings();
    UpdateCommands();
}

void CMainFrame::OnAbout() {
    QMessageBox about(this);
    about.setWindowTitle("About Quenlow FTP");
    about.setIconPixmap(ApplicationIcon().pixmap(64, 64));
    about.setText(QString("<b>Quenlow FTP</b><br>Version %1").arg(QUENLOWFTP_VERSION));
    about.exec();
}

void CMainFrame::OnExit() {
    if (tray_) tray_->hide();
    QApplication::quit();
}
