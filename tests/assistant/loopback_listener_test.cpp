#include "assistant/loopback_listener.hpp"

#include <gtest/gtest.h>

namespace kivo {
namespace {

// Rows as the kernel writes them: the address in the machine's word order, the port and the state
// (0A listening, 01 established) in hex, the owner in decimal.
constexpr const char* ipv4Table =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
    "   0: 0100007F:2CAA 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1001        0 11 1\n"
    "   1: 00000000:2CAB 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1002        0 12 1\n"
    "   2: 0100007F:2CAC 0100007F:9C40 01 00000000:00000000 00:00000000 00000000  1003        0 13 1\n"
    "   3: 0200007F:2CAD 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1004        0 14 1\n";
constexpr const char* ipv6Table =
    "  sl  local_address                         remote_address                        st tx_queue rx_queue "
    "tr "
    "tm->when retrnsmt   uid  timeout inode\n"
    "   0: 00000000000000000000000001000000:2CAA 00000000000000000000000000000000:0000 0A 00000000:00000000 "
    "00:00000000 00000000  2001        0 21 1\n"
    "   1: 00000000000000000000000000000000:2CAE 00000000000000000000000000000000:0000 0A 00000000:00000000 "
    "00:00000000 00000000  2002        0 22 1\n"
    "   2: 0000000000000000FFFF00000100007F:2CAF 00000000000000000000000000000000:0000 0A 00000000:00000000 "
    "00:00000000 00000000  2003        0 23 1\n";

TEST(LoopbackListener, FindsTheListenersAConnectionCanReach) {
    const struct {
        const char* what;
        bool ipv6Table;
        const char* address;
        long port;
        std::vector<uid_t> owners;
    } cases[] = {
        {"bound to the loopback address", false, "127.0.0.1", 0x2CAA, {1001}},
        {"bound to the any-address", false, "127.0.0.1", 0x2CAB, {1002}},
        {"a connection, not a listener", false, "127.0.0.1", 0x2CAC, {}},
        {"another loopback address", false, "127.0.0.1", 0x2CAD, {}},
        {"an IPv4 table for an IPv6 address", false, "::1", 0x2CAB, {}},
        {"bound to ::1", true, "::1", 0x2CAA, {2001}},
        {"::1 does not take IPv4", true, "127.0.0.1", 0x2CAA, {}},
        {"the IPv6 any-address takes both", true, "127.0.0.1", 0x2CAE, {2002}},
        {"the mapped IPv4 address", true, "127.0.0.1", 0x2CAF, {2003}},
        {"nothing on the port", true, "::1", 0x2CB0, {}},
        {"not an address", false, "localhost", 0x2CAA, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(
            LoopbackListener::owners(c.ipv6Table ? ipv6Table : ipv4Table, c.ipv6Table, c.address, c.port),
            c.owners);
    }
}

TEST(LoopbackListener, TrustsOnlyThisUserRootAndSystemAccounts) {
    const auto tables = [](bool ipv6) { return std::string(ipv6 ? ipv6Table : ipv4Table); };
    EXPECT_TRUE(LoopbackListener::trusted(tables, "127.0.0.1", 0x2CAA, 1001));
    EXPECT_FALSE(LoopbackListener::trusted(tables, "127.0.0.1", 0x2CAA, 1000));
    // Both families listen on 0x2CAA for ::1 and 127.0.0.1 alike only where each is bound.
    EXPECT_TRUE(LoopbackListener::trusted(tables, "::1", 0x2CAA, 2001));
    EXPECT_FALSE(LoopbackListener::trusted(tables, "127.0.0.1", 0x2CB0, 0))
        << "nobody seen is nobody trusted";
    const auto system = [](bool ipv6) {
        return ipv6 ? std::string()
                    : std::string(
                          "sl\n   0: 0100007F:2CAA 00000000:0000 0A 00000000:00000000 00:00000000 "
                          "00000000   999        0 11 1\n");
    };
    EXPECT_TRUE(LoopbackListener::trusted(system, "127.0.0.1", 0x2CAA, 1500));
}

}  // namespace
}  // namespace kivo
