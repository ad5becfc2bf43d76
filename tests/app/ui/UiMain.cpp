// Test main for the desktop program: Qt's offscreen platform, a home of its
// own, the media binding started and the libraries loaded, and the Qt wake-up
// hook of the main-thread queue, all on the main thread.
#include "app/ui/QtMainThread.h"
#include "avbind/FFLoad.h"
#include "tests/support/TempDir.h"

#include <QApplication>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    setenv("ZC_TEST_TMP", ZC_UI_TEST_TMP, 0);
    // Nothing the toolkit or the program writes may reach the real home.
    zctest::TTempDir home;
    setenv("HOME", home.Path().c_str(), 1);
    setenv("XDG_CONFIG_HOME", home.File("config").c_str(), 1);
    setenv("XDG_DOCUMENTS_DIR", home.File("Documents").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", home.Path().c_str(), 1);

    QApplication application(argc, argv);
    avbind::TFFBinding binding;
    if (!avbind::FFLoader().Load(avbind::EncoderLibraries)) {
        std::fprintf(stderr, "cannot load the media libraries: %s\n", avbind::FFLoader().LastErrMsg().c_str());
        return 1;
    }
    ui::TMainThreadWakeup wakeup;
    return RUN_ALL_TESTS();
}
