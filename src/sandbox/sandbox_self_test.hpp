#pragma once

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

namespace kivo {

// `kivo-pdf-worker --sandbox-self-test`: applies the worker's sandbox to this
// very process, tries eighteen operations it must allow or refuse, and prints
// one JSON line per operation. The sandbox cannot be lifted again, so this is
// the last thing a process does.
namespace SandboxSelfTest {

struct Probe {
    std::string name;
    std::string expected;  // "allowed" or "denied"
    std::string result;    // "allowed", "denied" or "failed"
    std::int32_t errorNumber = 0;
};

// The places the probes use.
struct Places {
    std::filesystem::path home;       // as given, links not resolved
    std::filesystem::path temporary;  // links resolved
    std::filesystem::path support;
    std::filesystem::path ipc;
    std::filesystem::path systemFont;  // a file that ships with the system
};

// From the environment, as the worker sees it.
Places currentPlaces();

// 0 gives "allowed"; EPERM (seccomp's refusal) and EACCES (Landlock's) give
// "denied"; any other number gives "failed".
std::string resultFor(int errorNumber);

// {"errno":…,"expected":…,"name":…,"result":…}, compact, keys sorted.
std::string encode(const Probe& probe);

// {"error": "<description>"}
std::string encodeError(const std::string& description);

// Binds and listens on a Unix socket at `path` and removes it again; 0 or the
// failing call's error number, ENAMETOOLONG for a path that does not fit.
int listenAt(const std::string& path);

// Runs the eighteen probes (without applying anything).
std::vector<Probe> runProbes(const Places& places);

// Prepares the IPC folder, applies the sandbox, runs the probes and prints
// them; 0 when every probe behaved as expected, else 73.
int run(std::ostream& out, const Places& places);

}  // namespace SandboxSelfTest

// The worker's --sandbox-self-test mode, on the current environment.
int runSandboxSelfTest(std::ostream& out);

}  // namespace kivo
