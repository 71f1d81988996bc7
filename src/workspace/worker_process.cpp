#include "workspace/worker_process.hpp"

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <QProcessEnvironment>

#include <stdexcept>

namespace kivo {

QProcessWorker::QProcessWorker(QObject* parent) : WorkerProcess(parent) {
    // Standard output and error go where the editor's go; standard input stays a pipe.
    process_.setProcessChannelMode(QProcess::ForwardedChannels);
    const pid_t editor = ::getpid();
    process_.setChildProcessModifier([editor] {
        // Runs in the child between fork and exec: only async-signal-safe calls.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        // The editor may have died before the request took effect.
        if (::getppid() != editor) ::_exit(127);
    });
    connect(&process_, &QProcess::finished, this, [this] {
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
        throw std::runtime_error("The PDF worker could not be started: " + process_.errorString().toStdString());
    }
    started_ = true;
}

void QProcessWorker::writeInputAndClose(const std::string& bytes) {
    const auto size = static_cast<qint64>(bytes.size());
    const bool written = process_.write(bytes.data(), size) == size &&
                         (process_.bytesToWrite() == 0 || process_.waitForBytesWritten(5000));
    process_.closeWriteChannel();
    if (!written) {
        throw std::runtime_error("The PDF worker did not take its tokens: " + process_.errorString().toStdString());
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
    const auto reason = process_.exitStatus() == QProcess::CrashExit ? WorkerTermination::Reason::uncaughtSignal
                                                                     : WorkerTermination::Reason::exit;
    return WorkerTermination{reason, process_.exitCode()};
}

qint64 QProcessWorker::processId() const { return process_.processId(); }

void QProcessWorker::terminate() { process_.terminate(); }

void QProcessWorker::kill() { process_.kill(); }

}  // namespace kivo
