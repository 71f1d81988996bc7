#pragma once

// The worker as a child process, behind a small interface so that tests can start a stand-in, and
// its one implementation over QProcess.

#include <QObject>
#include <QProcess>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "workspace/worker_stops.hpp"

namespace kivo {

// One child process, started once. Lives on the GUI thread.
class WorkerProcess : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    // Starts `program` with `arguments` and exactly `environment`; standard input is a pipe,
    // standard output the editor's own, and what it writes on standard error reaches the editor's,
    // all but the line that says it listens. Throws std::runtime_error when it cannot start.
    virtual void start(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                       const std::map<std::string, std::string>& environment) = 0;

    // Writes `bytes` to standard input, waits until they are written, and closes it. Throws
    // std::runtime_error when the process does not take them.
    virtual void writeInputAndClose(const std::string& bytes) = 0;

    // Waits up to `milliseconds` for the process to end; answers whether it has ended.
    virtual bool waitForExit(int milliseconds) = 0;

    // How it ended; nothing while it runs or before it started.
    virtual std::optional<WorkerTermination> termination() const = 0;

    // The system's process id while it runs; 0 otherwise.
    virtual qint64 processId() const = 0;

    // Asks it to end (SIGTERM), or ends it (SIGKILL).
    virtual void terminate() = 0;
    virtual void kill() = 0;

signals:
    // Emitted once when the process has ended, possibly from inside waitForExit: connect it queued.
    void finished(kivo::WorkerTermination termination);
};

// A QProcess that dies with the editor: the child asks the kernel for SIGKILL when the editor ends.
class QProcessWorker : public WorkerProcess {
    Q_OBJECT

public:
    explicit QProcessWorker(QObject* parent = nullptr);
    ~QProcessWorker() override;

    void start(const std::filesystem::path& program, const std::vector<std::string>& arguments,
               const std::map<std::string, std::string>& environment) override;
    void writeInputAndClose(const std::string& bytes) override;
    bool waitForExit(int milliseconds) override;
    std::optional<WorkerTermination> termination() const override;
    qint64 processId() const override;
    void terminate() override;
    void kill() override;

private:
    // Passes the complete lines read so far on to the editor's standard error, the listening line
    // left out; at the end, the unfinished one too.
    void passOnDiagnostics(bool atEnd);

    QProcess process_;
    bool started_ = false;
    QByteArray diagnostics_;
};

}  // namespace kivo
