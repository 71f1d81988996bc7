// What the confined worker pays for reaching a document through its file broker: an open for
// reading and a whole save of a small file, through the broker and directly, in turns in one run,
// so both meet the machine as it is. Prints the medians and the broker's ratio against the direct
// way. The broker runs unconfined here; the confinement itself adds nothing to a call it forwards.

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "core/document_files.hpp"
#include "core/safe_files.hpp"
#include "sandbox/file_broker.hpp"

namespace {

namespace fs = std::filesystem;
using namespace kivo;

double microsecondsPer(int count, const std::function<void()>& action) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) action();
    const std::chrono::duration<double, std::micro> spent = std::chrono::steady_clock::now() - start;
    return spent.count() / count;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main() {
    char pattern[] = "/tmp/kivo-broker-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return 1;
    const fs::path root = pattern;
    const fs::path home = root / "home";
    fs::create_directories(home / "Documents");
    const fs::path document = home / "Documents" / "report.pdf";
    const std::string bytes(200 * 1024, 'x');
    const auto write = [&](int fd) {
        if (::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) std::abort();
    };
    SafeFiles::replaceFile(document, write);

    FileBroker::install(FileBroker::Policy{home, root / "support", root / "support" / "ipc"}, {});
    const auto broker = DocumentFiles::broker();
    const auto openDirect = [&] {
        if (!SafeFiles::openForReading(document).fd) std::abort();
    };
    const auto openBrokered = [&] {
        if (!broker->openForReading(document).fd) std::abort();
    };
    const auto saveDirect = [&] { SafeFiles::replaceFile(document, write); };
    const auto saveBrokered = [&] { broker->replaceFile(document, write, SafeFiles::ReplaceOptions{}); };

    constexpr int rounds = 15;
    std::vector<double> opens[2], saves[2];
    for (int round = 0; round < rounds; ++round) {
        opens[0].push_back(microsecondsPer(2000, openDirect));
        opens[1].push_back(microsecondsPer(2000, openBrokered));
        saves[0].push_back(microsecondsPer(20, saveDirect));
        saves[1].push_back(microsecondsPer(20, saveBrokered));
    }
    const auto report = [](const char* what, const std::vector<double>* times) {
        const double direct = median(times[0]);
        const double brokered = median(times[1]);
        std::printf("%-28s direct %9.1f us   broker %9.1f us   ratio x%.2f   (+%.1f us)\n", what, direct,
                    brokered, brokered / direct, brokered - direct);
    };
    std::printf("medians of %d rounds, taken in turns\n", rounds);
    report("open a document", opens);
    report("save a 200 KB document", saves);
    std::error_code ignored;
    fs::remove_all(root, ignored);
    return 0;
}
