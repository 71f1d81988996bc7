#include "app/shell/quit_signals.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include <QCoreApplication>
#include <QSocketNotifier>

namespace kivo::QuitSignals {
namespace {

int wakeFds[2] = {-1, -1};

extern "C" void onQuitSignal(int) {
    const int saved = errno;
    const char byte = 1;
    // A full pipe already holds a wake-up; nothing else is safe to do here.
    [[maybe_unused]] const auto written = ::write(wakeFds[1], &byte, 1);
    errno = saved;
}

}  // namespace

void install() {
    if (wakeFds[0] >= 0) return;
    if (::pipe2(wakeFds, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::system_error(errno, std::generic_category(), "pipe2");
    auto* notifier = new QSocketNotifier(wakeFds[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] {
        char drained[64];
        while (::read(wakeFds[0], drained, sizeof drained) > 0) {}
        QCoreApplication::quit();
    });
    struct sigaction action {};
    action.sa_handler = onQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

}  // namespace kivo::QuitSignals
