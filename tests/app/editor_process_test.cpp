// The kivo-pdf program as a process: quitting on SIGTERM or SIGINT stops the worker and leaves no socket,
// and a second kivo-pdf hands its file to the editor already running instead of starting a worker.

#include <signal.h>

#include <algorithm>

#include <QProcess>

#include <fstream>

#include "app/shell/main_window.hpp"
#include "workspace/worker_link.hpp"
#include "app_test_support.hpp"

using namespace kivo;
using namespace kivo::testing;

namespace {

QString editorProgram() { return QStringLiteral(KIVO_BIN_DIR "/kivo-pdf"); }

// The process ids whose parent is `parent`, from /proc.
std::vector<pid_t> childrenOf(qint64 parent) {
    std::vector<pid_t> children;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        std::getline(stat, line);
        // pid (comm) state ppid …; the command may hold spaces and parentheses.
        const auto close = line.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(line.substr(close + 2));
        char state = 0;
        qint64 ppid = 0;
        rest >> state >> ppid;
        if (ppid == parent) children.push_back(static_cast<pid_t>(std::stol(name)));
    }
    return children;
}

bool alive(pid_t pid) { return std::filesystem::exists("/proc/" + std::to_string(pid)); }

// The sockets bound to `path`: the listening one, and one more for each connection it accepted.
int socketsAt(const std::filesystem::path& path) {
    std::ifstream table("/proc/net/unix");
    int count = 0;
    for (std::string line; std::getline(table, line);) {
        if (line.size() > path.string().size() && line.ends_with(" " + path.string())) ++count;
    }
    return count;
}

// Starts `program` as the editor with its worker's sandbox on, or off where this system cannot apply
// it; false when no worker of it ever listens.
bool startWithItsWorker(QProcess& editor, const QString& program, const Scratch& scratch) {
    editor.setProcessChannelMode(QProcess::ForwardedChannels);
    for (const char* sandbox : {"on", "off"}) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("HOME", QString::fromStdString(scratch.home().string()));
        environment.insert("KIVO_PDF_WORKER_SANDBOX", sandbox);
        editor.setProcessEnvironment(environment);
        editor.start(program, {});
        if (!editor.waitForStarted()) return false;
        if (waitUntil([&] { return std::filesystem::exists(scratch.socket()); }, 20)) return true;
        editor.kill();
        editor.waitForFinished();
    }
    return false;
}

}  // namespace

class EditorProcessTest : public QObject {
    Q_OBJECT

private slots:
    void aQuitSignalStopsTheWorkerAndRemovesTheSockets_data() {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM") << SIGTERM;
        QTest::newRow("SIGINT") << SIGINT;
    }
    void aQuitSignalStopsTheWorkerAndRemovesTheSockets() {
        QFETCH(int, signal);
        Scratch scratch;
        QProcess editor;
        std::vector<pid_t> workers;
        QVERIFY2(startWithItsWorker(editor, editorProgram(), scratch), "the editor's worker never listened");
        QVERIFY(waitUntil([&] { return !(workers = childrenOf(editor.processId())).empty(); }, 5));
        QVERIFY(std::filesystem::exists(scratch.support() / "ipc" / "editor.sock"));

        ::kill(static_cast<pid_t>(editor.processId()), signal);
        QVERIFY(editor.waitForFinished(15000));
        QCOMPARE(editor.exitStatus(), QProcess::NormalExit);
        QCOMPARE(editor.exitCode(), 0);
        for (const pid_t worker : workers) QVERIFY(waitUntil([&] { return !alive(worker); }, 5));
        QVERIFY(!std::filesystem::exists(scratch.socket()));
        QVERIFY(!std::filesystem::exists(scratch.support() / "ipc" / "editor.sock"));
    }

    // A package upgrade renames a new program over the running editor; a worker lost after that is
    // still found beside the editor and started again.
    void aWorkerLostAfterAnUpgradeReplacedTheEditorStartsAgain() {
        Scratch scratch;
        const std::filesystem::path bin = scratch.docs() / "installed";
        std::filesystem::create_directories(bin);
        for (const char* name : {"kivo-pdf", "kivo-pdf-worker"}) {
            std::filesystem::copy_file(std::filesystem::path(KIVO_BIN_DIR) / name, bin / name);
        }
        QProcess editor;
        std::vector<pid_t> workers;
        QVERIFY2(startWithItsWorker(editor, QString::fromStdString((bin / "kivo-pdf").string()), scratch),
                 "the editor's worker never listened");
        QVERIFY(waitUntil([&] { return !(workers = childrenOf(editor.processId())).empty(); }, 5));
        // A worker lost before the editor ever reached it is a failed start, not a loss: wait for the link.
        QVERIFY(waitUntil([&] { return socketsAt(scratch.socket()) >= 2; }, 20));

        const std::filesystem::path upgrade = bin / ".kivo-pdf.new";
        std::filesystem::copy_file(std::filesystem::path(KIVO_BIN_DIR) / "kivo-pdf", upgrade);
        std::filesystem::rename(upgrade, bin / "kivo-pdf");
        ::kill(workers.front(), SIGKILL);
        QVERIFY2(waitUntil(
                     [&] {
                         // The lost worker may linger as a child until it is reaped; any other live one
                         // counts.
                         const std::vector<pid_t> now = childrenOf(editor.processId());
                         return std::any_of(now.begin(), now.end(), [&](pid_t child) {
                             return child != workers.front() && alive(child);
                         });
                     },
                     60),
                 "no worker was started again");

        ::kill(static_cast<pid_t>(editor.processId()), SIGTERM);
        QVERIFY(editor.waitForFinished(15000));
    }

    void aSecondEditorHandsItsFileToTheFirst() {
        Scratch scratch;
        document(scratch, "other.pdf", 2);
        auto first = startEditor(scratch);
        QVERIFY(first);
        const qint64 worker = first->workspace().link().workerProcessId();

        QProcess second;
        second.setProcessChannelMode(QProcess::ForwardedChannels);
        second.setWorkingDirectory(QString::fromStdString(scratch.docs().string()));
        second.start(editorProgram(), {"other.pdf"});
        QVERIFY(second.waitForStarted());
        QVERIFY(waitUntil([&] { return second.state() == QProcess::NotRunning; }, 20));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);

        QVERIFY(waitUntil([&] { return first->workspace().status() == "Opened other.pdf"; }));
        QCOMPARE(first->workspace().inspect()->sourcePath.value_or(""),
                 (scratch.docs() / "other.pdf").string());
        QCOMPARE(first->workspace().link().workerProcessId(), worker);
    }
};

KIVO_APP_TEST_MAIN(EditorProcessTest)
#include "editor_process_test.moc"
