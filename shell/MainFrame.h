#pragma once
// The main window: the menus that start and stop the server, the status view, and the icon in
// the notification area that brings the window back once it is hidden.

#include <QMainWindow>

class CQuenlowApp;
class CStatusView;
class QAction;
class QSystemTrayIcon;

class CMainFrame : public QMainWindow {
    Q_OBJECT

public:
    explicit CMainFrame(CQuenlowApp& app);
    ~CMainFrame() override;

    CStatusView* View() const { return view_; }
    // The refresh of the controller's tick: the view, then the menu's enabling.
    void OnTick();
    // Adds the notification icon when the desktop has a notification area. Without one the
    // window stays shown, because nothing else could bring it back.
    bool AddNotificationIcon();
    // Start-up: shown and painted, then to the background behind the notification icon.
    void ShowAtStartUp();
    bool HasNotificationIcon() const { return tray_ != nullptr; }
    void UpdateCommands();

    QAction* StartAction() const { return start_; }
    QAction* StopAction() const { return stop_; }

    void ShowAndRaise();
    void OnStart();
    void OnStop();
    void OnSettings();
    void OnAbout();
    void OnExit();

private:
    CQuenlowApp& app_;
    CStatusView* view_;
    QAction *start_, *stop_;
    QSystemTrayIcon* tray_ = nullptr;
};
