#include "workspace/worker_process.hpp"

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <QProcessEnvironment>

#include <stdexcept>

#include "core/worker_limits.hpp"

namespace kivo {
namespace {

constexpr qsizetype longestDiagnostic = 4096;

}  // namespace

QProcessWorker::QProcessWorker(QObject* parent) : WorkerProcess(parent) {
    // Standard output goes where the editor's goes; standard input stays a pipe. Standard error
    // comes through the editor, so that a normal start prints nothing on the terminal while a
    // stop's line or a sandbox note still reaches it.
    process_.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    connect(&process_, &QProcess::readyReadStandardError, this, [this] { passOnDiagnostics(false); });
    const pid_t editor = ::getpid();
    process_.setChildProcessModifier([editor] {
        // Runs in the child between fork and exec: only async-signal-safe calls.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        // The editor may have died before the request took effect.
        if (::getppid() != editor) ::_exit(127);
    });
    connect(&process_, &QProcess::finished, this, [this] {
        passOnDiagnostics(true);
        if (const auto ended = termination()) emit finished(*ended);
    });
}

QProcessWorker::~QProcessWorker() {
    if (process_.state() != QProcess::NotRunning) {
        process_.kill();
        process_.waitForFinished(-1);
    }
}

void QProcessWorker::start(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                           const std::map<std::string, std::string>& environment) {
    QProcessEnvironment childEnvironment;
    for (const auto& [name, value] : environment) {
        childEnvironment.insert(QString::fromStdString(name), QString::fromStdString(value));
    }
    process_.setProcessEnvironment(childEnvironment);
    QStringList list;
    for (const auto& argument : arguments) list << QString::fromStdString(argument);
    process_.start(QString::fromStdString(program.string()), list);
    if (!process_.waitForStarted(-1)) {
        throw std::runtime_error("The PDF worker could not be started: " +
                                 process_.errorString().toStdString());
    }
    started_ = true;
}

void QProcessWorker::writeInputAndClose(const std::string& bytes) {
    const auto size = static_cast<qint64>(bytes.size());
    const bool written = process_.write(bytes.data(), size) == size &&
                         (process_.bytesToWrite() == 0 || process_.waitForBytesWritten(5000));
    process_.closeWriteChannel();
    if (!written) {
        throw std::runtime_error("The PDF worker did not take its tokens: " +
                                 process_.errorString().toStdString());
    }
}

bool QProcessWorker::waitForExit(int milliseconds) {
    if (!started_) return true;
    if (process_.state() == QProcess::NotRunning) return true;
    process_.waitForFinished(milliseconds);
    return process_.state() == QProcess::NotRunning;
}

std::optional<WorkerTermination> QProcessWorker::termination() const {
    if (!started_ || process_.state() != QProcess::NotRunning) return std::nullopt;
    // For a crash QProcess reports the number of the signal as the exit code.
    const auto reason = process_.exitStatus() == QProcess::CrashExit
                            ? WorkerTermination::Reason::uncaughtSignal
                            : WorkerTermination::Reason::exit;
    return WorkerTermination{reason, process_.exitCode()};
}

void QProcessWorker::passOnDiagnostics(bool atEnd) {
    diagnostics_ += process_.readAllStandardError();
    qsizetype start = 0;
    for (;;) {
        qsizetype end = diagnostics_.indexOf('\n', start);
        if (end < 0) {
            // A line longer than any the worker writes is passed on in pieces, never held whole.
            if (start == diagnostics_.size() || (!atEnd && diagnostics_.size() - start <= longestDiagnostic))
                break;
            end = diagnostics_.size() - 1;
        }
        const QByteArrayView line(diagnostics_.constData() + start, end + 1 - start);
        if (!line.startsWith(QByteArrayView(workerListeningLine.data(), workerListeningLine.size()))) {
            // Like the worker's own write: what becomes of it is not examined.
            [[maybe_unused]] const auto written =
                ::write(STDERR_FILENO, line.data(), static_cast<size_t>(line.size()));
        }
        start = end + 1;
    }
    diagnostics_.remove(0, start);
}

qint64 QProcessWorker::processId() const { return process_.processId(); }

void QProcessWorker::terminate() { process_.terminate(); }

void QProcessWorker::kill() { process_.kill(); }

}  // namespace kivo
