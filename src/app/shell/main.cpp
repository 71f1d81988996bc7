// kivo-pdf: the editor. Arguments are PDF files to open; the first readable one is opened once the worker
// is ready. A second kivo-pdf of the same user hands its files to the first and exits (status 0; 1 when the
// first did not take them).

#include <malloc.h>

#include <cstdio>
#include <string>
#include <vector>

#include <QApplication>

#include "app/shell/app_accessibility.hpp"
#include "app/shell/editor_app.hpp"
#include "app/shell/quit_signals.hpp"
#include "design/appearance.hpp"

int main(int argc, char** argv) {
    // Loading the program and connecting to the display are part of the start: the launch files' 0.25 s
    // count from the process's making.
    const auto launchedAt = kivo::EditorApp::processStartedAt();
    // Fixed thresholds, as the worker's: the C library would otherwise raise them after the first page image
    // (megabytes each) went back, and every later one would leave a hole in the heap that stays resident
    // when freed. Each is mapped on its own and given back whole: 20 MB less after paging through the
    // 117-page sample (103 MB of PSS for the editor instead of 123).
    ::mallopt(M_MMAP_THRESHOLD, 1 << 20);
    ::mallopt(M_TRIM_THRESHOLD, 1 << 20);
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kivo PDF"));
    QApplication::setApplicationDisplayName(QStringLiteral("Kivo PDF"));
    QApplication::setDesktopFileName(QStringLiteral("kivo-pdf"));
    kivo::QuitSignals::install();
    kivo::Appearance::instance().install(application);
    kivo::installAppAccessibility();

    // Qt took its own options out of argv already; the rest are file names, as raw bytes.
    std::vector<std::string> arguments(argv + 1, argv + argc);

    kivo::EditorApp editor;
    switch (editor.start(arguments, launchedAt)) {
        case kivo::EditorApp::Start::handedOver: return 0;
        case kivo::EditorApp::Start::handOverFailed:
            std::fputs(
                "kivo-pdf: Kivo PDF is already running for this user, but its window did not take the "
                "files. Use that window, or quit it first.\n",
                stderr);
            return 1;
        case kivo::EditorApp::Start::running: break;
    }
    return QApplication::exec();
}
