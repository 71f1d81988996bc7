#pragma once

// Who answers on a loopback address. Any local user may listen on a free loopback port (the local
// model server's, while it is not running) and would then receive the page text meant for it. The
// kernel's socket tables (/proc/net/tcp and /proc/net/tcp6) name the user that owns each listening
// socket; a listener is trusted when it belongs to this user, to root or to a system account.
//
// Nothing here throws: a table that cannot be read or read whole lists no listener, and a port
// nobody is seen listening on is not trusted.

#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kivo::LoopbackListener {

// Accounts below this user id are the system's own (root included).
inline constexpr uid_t firstPersonUid = 1000;

// The text of /proc/net/tcp (`ipv6` false) or /proc/net/tcp6 (true), or a test's stand-in.
using Tables = std::function<std::string(bool ipv6)>;

// The system's tables, each read with a bound.
Tables systemTables();

// The owners of the sockets in `table` listening on `port` where a connection to `address` (an
// IPv4 or IPv6 address as text, "127.0.0.1" or "::1") may arrive: bound to that address, to the
// any-address of its family, or (IPv6 tables) to the IPv6 any-address or the mapped IPv4 address.
std::vector<uid_t> owners(std::string_view table, bool ipv6, std::string_view address, long port);

// Whether what is sent to `address`:`port` reaches only this user's (`self`), root's or a system
// account's program: at least one listener is seen there and every listener seen belongs to one.
bool trusted(const Tables& tables, std::string_view address, long port, uid_t self);

}  // namespace kivo::LoopbackListener
