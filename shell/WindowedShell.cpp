#include "shell/WindowedShell.h"

#include <QApplication>
#include <QSocketNotifier>

#include "shell/Application.h"
#include "shell/MainFrame.h"
#include "shell/StatusIcons.h"

int RunWindowed(CQuenlowApp& app, int argc, char** argv) {
    QApplication qt(argc, argv);
    QApplication::setApplicationName("Quenlow FTP");
    QApplication::setWindowIcon(ApplicationIcon());
    CMainFrame frame(app);
    app.SetTickHook([&frame] { frame.OnTick(); });

    QSocketNotifier notifier(app.Loop().Fd(), QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, [&app] {
        app.Loop().RunPending();
        if (app.Loop().QuitRequested()) QApplication::quit();
    });

    frame.ShowAtStartUp();
    int status = QApplication::exec();
    app.SetTickHook(nullptr);
    notifier.setEnabled(false);
    app.Shutdown();
    return status;
}
