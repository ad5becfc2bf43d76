// zconverter: the converter's desktop program.
#include "app/ConversionRun.h"
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

    // The thread that starts the binding is the main thread of the queue.
    avbind::TFFBinding binding;
    ui::TMainThreadWakeup wakeup;
    encoder::InstallPreviewer();
    ui::InstallPreviewWindowFactory();
    app::RaiseOpenFileLimit();

    ui::TfrmMain window;
    window.show();
    // Files and folders named on the command line ("Open with" from a file
    // manager) become rows, as if dropped onto the list.
    QStringList paths = QApplication::arguments();
    paths.removeFirst();
    if (!paths.isEmpty()) window.AddDroppedPaths(paths);
    return application.exec();
}
