// zconverter: the converter's desktop program.
#include "app/ConversionRun.h"
#include "app/PathsAndLinks.h"
#include "app/ui/InstanceLink.h"
#include "app/ui/MainWindow.h"
#include "app/ui/PreviewWindow.h"
#include "app/ui/QtMainThread.h"
#include "avbind/FFLoad.h"
#include "avbind/Platform.h"
#include "encoder/Previewer.h"

#include <QApplication>
#include <QFile>
#include <QIcon>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName("zconverter");
    QApplication::setDesktopFileName("zconverter");
    const QString icon = QString::fromStdString(avbind::ProgramFolder()) + "/zconverter.svg";
    QApplication::setWindowIcon(QIcon::fromTheme("zconverter", QFile::exists(icon) ? QIcon(icon) : QIcon()));

    // Files and folders named on the command line ("Open with" from a file
    // manager) become rows, as if dropped onto the list; when the program
    // runs already, its window takes them and this start ends.
    QStringList paths = QApplication::arguments();
    paths.removeFirst();
    const QString link = ui::InstanceLinkName(QString::fromStdString(app::TfrmCommon().GetConfigPath()));
    if (ui::HandToRunningInstance(link, paths)) return 0;

    // The thread that starts the binding is the main thread of the queue.
    avbind::TFFBinding binding;
    ui::TMainThreadWakeup wakeup;
    encoder::InstallPreviewer();
    ui::InstallPreviewWindowFactory();
    app::RaiseOpenFileLimit();

    ui::TfrmMain window;
    window.show();
    if (!paths.isEmpty()) window.AddDroppedPaths(paths);
    const ui::TInstanceLink later(link, [&window](const QStringList& more) { window.TakeFilesFromElsewhere(more); });
    return application.exec();
}
